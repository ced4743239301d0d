#include "service/hub/request_decoding.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <string>

namespace service::hub {

namespace {

using Json = nlohmann::json;

// Sees every member, so it can refuse what the default parser would let
// through: duplicates, unknown members, non-strings, nesting.
template <std::size_t N>
class FlatRecordReader final : public nlohmann::json_sax<Json> {
 public:
  explicit FlatRecordReader(const std::array<const char*, N>& fields) : fields_(fields) {}

  bool complete() const {
    for (bool seen : seen_) {
      if (!seen)
        return false;
    }
    return true;
  }
  const std::array<std::string, N>& values() const { return values_; }

  bool null() override { return false; }
  bool boolean(bool) override { return false; }
  bool number_integer(number_integer_t) override { return false; }
  bool number_unsigned(number_unsigned_t) override { return false; }
  bool number_float(number_float_t, const string_t&) override { return false; }
  bool binary(binary_t&) override { return false; }

  bool string(string_t& value) override {
    if (form_ == Form::Object) {
      if (current_ < 0)
        return false;
      values_[static_cast<std::size_t>(current_)] = std::move(value);
      current_ = -1;
      return true;
    }
    if (form_ == Form::Array && next_index_ < N) {
      seen_[next_index_] = true;
      values_[next_index_++] = std::move(value);
      return true;
    }
    return false;
  }

  bool start_object(std::size_t) override {
    if (form_ != Form::None)
      return false;
    form_ = Form::Object;
    return true;
  }
  bool key(string_t& name) override {
    for (std::size_t i = 0; i < N; ++i) {
      if (name == fields_[i]) {
        if (seen_[i])
          return false;
        seen_[i] = true;
        current_ = static_cast<int>(i);
        return true;
      }
    }
    return false;
  }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override {
    if (form_ != Form::None)
      return false;
    form_ = Form::Array;
    return true;
  }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  enum class Form { None, Object, Array };
  const std::array<const char*, N>& fields_;
  std::array<bool, N> seen_{};
  std::array<std::string, N> values_{};
  Form form_ = Form::None;
  int current_ = -1;
  std::size_t next_index_ = 0;
};

template <std::size_t N>
std::optional<std::array<std::string, N>> read_record(std::string_view body,
                                                      const std::array<const char*, N>& fields) {
  // The parser stops at a NUL byte as if the input ended there, and skips a
  // leading byte-order mark; JSON text holds neither.
  if (body.find('\0') != std::string_view::npos || body.starts_with("\xEF\xBB\xBF"))
    return std::nullopt;
  FlatRecordReader<N> reader(fields);
  const bool parsed =
      Json::sax_parse(body.begin(), body.end(), &reader, Json::input_format_t::json, true);
  if (!parsed || !reader.complete())
    return std::nullopt;
  return reader.values();
}

constexpr std::array<const char*, 2> kStartFields = {"address", "sessionId"};
constexpr std::array<const char*, 1> kStopFields = {"sessionId"};

}  // namespace

std::optional<StartParams> decode_start_params(std::string_view body) {
  auto values = read_record(body, kStartFields);
  if (!values)
    return std::nullopt;
  return StartParams{std::move((*values)[0]), std::move((*values)[1])};
}

std::optional<StopParams> decode_stop_params(std::string_view body) {
  auto values = read_record(body, kStopFields);
  if (!values)
    return std::nullopt;
  return StopParams{std::move((*values)[0])};
}

}  // namespace service::hub
