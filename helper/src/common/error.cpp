#include "common/error.hpp"

#include "common/os_error.hpp"

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace service {

Error Error::from_os(int code) {
  Error error(os_error_text(code));
  error.os_code_ = code;
  return error;
}

void throw_exception_from_error(const Error& error, const boost::source_location&) {
  throw std::runtime_error(error.message());
}

namespace {

// Continuation lines of a multi-line cause keep the cause's indentation.
void append_indented(std::string& out, const std::string& message, const char* continuation) {
  for (char c : message) {
    out += c;
    if (c == '\n')
      out += continuation;
  }
}

}  // namespace

std::string format_error_chain(const Error& error) {
  std::string out = "Error: " + error.message();
  std::vector<const Error*> causes;
  for (const Error* cause = error.cause(); cause != nullptr; cause = cause->cause()) {
    causes.push_back(cause);
  }
  if (!causes.empty())
    out += "\n\nCaused by:";
  if (causes.size() == 1) {
    out += "\n    ";
    append_indented(out, causes.front()->message(), "    ");
  } else {
    for (std::size_t index = 0; index < causes.size(); ++index) {
      char number[32];
      std::snprintf(number, sizeof number, "\n%5zu: ", index);
      out += number;
      append_indented(out, causes[index]->message(), "       ");
    }
  }
  out += '\n';
  return out;
}

}  // namespace service
