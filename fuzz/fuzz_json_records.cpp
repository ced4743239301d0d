// An accepted record is what a standard strict parser reads from the same
// bytes, and it decodes again from its own encoding.
#include "service/hub/request_decoding.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using Json = nlohmann::json;

void check_start(std::string_view body) {
  const auto params = service::hub::decode_start_params(body);
  if (!params)
    return;
  const Json parsed = Json::parse(body.begin(), body.end(), nullptr, false);
  if (parsed.is_discarded())
    std::abort();
  const Json expected = parsed.is_array()
                            ? Json{params->address, params->sessionId}
                            : Json{{"address", params->address}, {"sessionId", params->sessionId}};
  if (parsed != expected)
    std::abort();
  const auto again = service::hub::decode_start_params(expected.dump());
  if (!again || again->address != params->address || again->sessionId != params->sessionId) {
    std::abort();
  }
}

void check_stop(std::string_view body) {
  const auto params = service::hub::decode_stop_params(body);
  if (!params)
    return;
  const Json parsed = Json::parse(body.begin(), body.end(), nullptr, false);
  if (parsed.is_discarded())
    std::abort();
  const Json expected =
      parsed.is_array() ? Json{params->sessionId} : Json{{"sessionId", params->sessionId}};
  if (parsed != expected)
    std::abort();
  const auto again = service::hub::decode_stop_params(expected.dump());
  if (!again || again->sessionId != params->sessionId)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  check_start(body);
  check_stop(body);
  return 0;
}
