#include "common/utf8.hpp"

#include <gtest/gtest.h>

namespace service {
namespace {

TEST(LossyUtf8, ReplacesEachMaximalSubpartOnce) {
  struct Case {
    std::string_view bytes;
    std::string_view text;
  };
  const Case cases[] = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
      // A truncated three-byte sequence is one subpart.
      {"\xE2\x82"
       "x",
       "\xEF\xBF\xBD"
       "x"},
      // Surrogates and overlongs: every byte stands alone.
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF0\x9F\x98", "\xEF\xBF\xBD"},
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {std::string_view("a\0b", 3), std::string_view("a\0b", 3)},
  };
  for (const auto& c : cases)
    EXPECT_EQ(decode_utf8_lossy(c.bytes), c.text);
}

TEST(Utf8Check, ReportsWhereAndHowTheBytesGoWrong) {
  EXPECT_FALSE(check_utf8("\xE2\x82\xAC ok").has_value());
  const auto invalid = check_utf8("ab\xFF");
  ASSERT_TRUE(invalid);
  EXPECT_EQ(invalid->message(), "invalid utf-8 sequence of 1 bytes from index 2");
  const auto bad_continuation = check_utf8("\xE2\x82x");
  ASSERT_TRUE(bad_continuation);
  EXPECT_EQ(bad_continuation->message(), "invalid utf-8 sequence of 2 bytes from index 0");
  const auto incomplete = check_utf8("12\xE2\x82");
  ASSERT_TRUE(incomplete);
  EXPECT_EQ(incomplete->message(), "incomplete utf-8 byte sequence from index 2");
}

}  // namespace
}  // namespace service
