#include "service/hub/protocol.hpp"

#include "common/utf8.hpp"

#include <nlohmann/json.hpp>

namespace service::hub {

namespace {

using Json = nlohmann::ordered_json;

std::string dump(const Json& json) {
  // Every string we put in is UTF-8 already; replacing keeps dump() from throwing.
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string encode(const ErrorResponse& record) {
  Json json;
  json["code"] = record.code;
  json["message"] = record.message;
  if (record.details)
    json["details"] = Json{{"osError", record.details->osError}};
  return dump(json);
}

std::string encode(const StartResponse& record) {
  Json json;
  json["sessionId"] = record.sessionId;
  json["pid"] = record.pid;
  return dump(json);
}

std::string encode(const StopResponse& record) {
  Json json;
  json["sessionId"] = record.sessionId;
  json["stopped"] = record.stopped;
  if (record.reason)
    json["reason"] = *record.reason;
  return dump(json);
}

http::Response ping_response(const Result<std::string>& outcome) {
  http::Response response;
  if (outcome) {
    response.status = 200;
    response.body = decode_utf8_lossy(*outcome);
  } else {
    response.status = 409;
    response.body = outcome.error().message();
  }
  response.set_header("content-type", TEXT_CONTENT_TYPE);
  response.set_header(HELPER_PROTOCOL_HEADER, HELPER_PROTOCOL_VERSION);
  return response;
}

}  // namespace service::hub
