// An accepted /ping query carries a digest that survives encoding it again.
#include "service/hub/request_decoding.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string target = "/ping?" + std::string(reinterpret_cast<const char*>(data), size);
  const auto params = service::hub::read_ping_query(target);
  if (!params)
    return 0;
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded = "/ping?coreSha256=";
  for (unsigned char c : params->coreSha256) {
    encoded += '%';
    encoded += kHex[c >> 4];
    encoded += kHex[c & 15];
  }
  const auto again = service::hub::read_ping_query(encoded);
  if (!again || again->coreSha256 != params->coreSha256)
    std::abort();
  return 0;
}
