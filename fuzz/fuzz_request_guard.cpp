// The guard never lets a foreign Host through, whatever the bytes.
#include "service/http/message.hpp"
#include "service/hub/request_guard.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool visible(std::string_view value) {
  for (unsigned char c : value) {
    if (c != '\t' && (c < 32 || c > 126))
      return false;
  }
  return true;
}

bool allowed(std::string_view host) {
  using service::http::equals_ignoring_ascii_case;
  return equals_ignoring_ascii_case(host, "localhost") ||
         equals_ignoring_ascii_case(host, "127.0.0.1") ||
         equals_ignoring_ascii_case(host, "KorvaneVeskHelperService");
}

}  // namespace

// First byte: which headers are present; then Host and Origin split at "\n".
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const unsigned flags = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const auto split = rest.find('\n');
  const std::string host(rest.substr(0, split));
  const std::string origin(split == std::string_view::npos ? "" : rest.substr(split + 1));

  service::http::RequestHead head;
  if (flags & 1)
    head.headers.push_back({"Host", host});
  if (flags & 2)
    head.headers.push_back({"Origin", origin});
  const auto outcome = service::hub::check_request_guard(head);

  const bool unreadable = ((flags & 1) && !visible(host)) || ((flags & 2) && !visible(origin));
  if (unreadable != (outcome == service::hub::RefusalKind::InvalidHeader))
    std::abort();
  if (!outcome) {
    if (flags & 2)
      std::abort();
    if ((flags & 1) && !allowed(service::hub::authority_host(host)))
      std::abort();
  }
  return 0;
}
