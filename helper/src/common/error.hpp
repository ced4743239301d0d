#pragma once

#include <boost/system/result.hpp>

#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace service {

// A message with an optional cause. Steps wrap the lower error under a short
// context ("bind {path}"); the chain is printed once, at the top.
class Error {
 public:
  Error() = default;
  explicit Error(std::string message) : message_(std::move(message)) {}
  Error(std::string context, Error cause)
      : message_(std::move(context)), cause_(std::make_shared<const Error>(std::move(cause))) {}

  // The system's description of `code`, then " (os error {code})".
  static Error from_os(int code);
  static Error last_os() { return from_os(errno); }

  const std::string& message() const { return message_; }
  const Error* cause() const { return cause_.get(); }
  // The errno behind this error when it is an operating-system error.
  std::optional<int> os_code() const { return os_code_; }

  Error context(std::string context) const& { return Error(std::move(context), *this); }
  Error context(std::string context) && { return Error(std::move(context), std::move(*this)); }

 private:
  std::string message_;
  std::shared_ptr<const Error> cause_;
  std::optional<int> os_code_;
};

[[noreturn]] void throw_exception_from_error(const Error& error, const boost::source_location&);

template <class T>
using Result = boost::system::result<T, Error>;

// The chain as the helper prints it on failure, ending with one line feed.
std::string format_error_chain(const Error& error);

}  // namespace service
