#pragma once

#include "common/error.hpp"
#include "service/http/message.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace service::hub {

inline constexpr const char* HELPER_PROTOCOL_HEADER = "x-korvane-helper-protocol";
inline constexpr const char* HELPER_PROTOCOL_VERSION = "6";
inline constexpr std::size_t MAX_BODY_BYTES = 4096;

inline constexpr const char* JSON_CONTENT_TYPE = "application/json";
inline constexpr const char* TEXT_CONTENT_TYPE = "text/plain; charset=utf-8";

struct PingParams {
  std::string coreSha256;
};

struct StartParams {
  std::string address;
  std::string sessionId;
};

struct StopParams {
  std::string sessionId;
};

struct ErrorDetails {
  std::int32_t osError = 0;
};

struct ErrorResponse {
  std::string code;
  std::string message;
  std::optional<ErrorDetails> details;
};

struct StartResponse {
  std::string sessionId;
  std::uint32_t pid = 0;
};

struct StopResponse {
  std::string sessionId;
  bool stopped = false;
  std::optional<std::string> reason;
};

// Compact JSON, members in declaration order, absent optionals left out.
std::string encode(const ErrorResponse& record);
std::string encode(const StartResponse& record);
std::string encode(const StopResponse& record);

// 200 with the helper's path as text, or 409 with the error's text; both
// carry the protocol header.
http::Response ping_response(const Result<std::string>& outcome);

}  // namespace service::hub
