#include "service/linux/owner_ids.hpp"
#include "common/error.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace service::linux {
namespace {

std::string chain(const Error& error) {
  std::string text = error.message();
  for (const Error* cause = error.cause(); cause; cause = cause->cause()) {
    text += " / " + cause->message();
  }
  return text;
}

TEST(ParseOwnerId, AcceptsAndRefusesAsTheRulesSay) {
  struct Case {
    std::string_view text;
    std::uint32_t id;  // 0: refused with `error`
    const char* error;
  };
  const Case cases[] = {
      {"500", 500, ""},
      {"+500", 500, ""},
      {"000500", 500, ""},
      {" 500\t", 500, ""},
      {"500\n", 500, ""},
      {"\xC2\xA0"
       "500\xC2\xA0",
       500, ""},  // no-break space
      {"\xE3\x80\x80"
       "500\xE3\x80\x80",
       500, ""},  // ideographic space
      {"\xE2\x80\xA8"
       "7\xC2\x85",
       7, ""},  // line separator, next line
      {"4294967295", 4294967295u, ""},
      {"4294967296", 0, "expected an unsigned ID / number too large to fit in target type"},
      {"99999999999999999999", 0,
       "expected an unsigned ID / number too large to fit in target type"},
      {"0", 0, "expected a non-root ID"},
      {"+0", 0, "expected a non-root ID"},
      {"-0", 0, "expected an unsigned ID / invalid digit found in string"},
      {"", 0, "expected an unsigned ID / cannot parse integer from empty string"},
      {"   ", 0, "expected an unsigned ID / cannot parse integer from empty string"},
      {"+", 0, "expected an unsigned ID / invalid digit found in string"},
      {"-", 0, "expected an unsigned ID / invalid digit found in string"},
      {"1 500", 0, "expected an unsigned ID / invalid digit found in string"},
      {"1e3", 0, "expected an unsigned ID / invalid digit found in string"},
      {"0x1f4", 0, "expected an unsigned ID / invalid digit found in string"},
      {"-500", 0, "expected an unsigned ID / invalid digit found in string"},
      {"++5", 0, "expected an unsigned ID / invalid digit found in string"},
      {"\xD9\xA5", 0,
       "expected an unsigned ID / invalid digit found in string"},  // Arabic-Indic five
      {"\xE2\x80\x8B"
       "5",
       0, "expected an unsigned ID / invalid digit found in string"},  // zero-width space is not
                                                                       // White_Space
  };
  for (const auto& c : cases) {
    const auto parsed = parse_owner_id(c.text);
    if (c.id != 0) {
      ASSERT_TRUE(parsed) << c.text;
      EXPECT_EQ(*parsed, c.id) << c.text;
    } else {
      ASSERT_FALSE(parsed) << c.text;
      EXPECT_EQ(chain(parsed.error()), c.error) << c.text;
    }
  }
}

class OwnerEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv(OWNER_UID_ENV);
    ::unsetenv(OWNER_GID_ENV);
  }
  void TearDown() override { SetUp(); }
};

TEST_F(OwnerEnvironment, ReadsBothVariables) {
  ::setenv(OWNER_UID_ENV, "1000", 1);
  ::setenv(OWNER_GID_ENV, " 1001 ", 1);
  const auto owner = owner_from_env();
  ASSERT_TRUE(owner);
  EXPECT_EQ(*owner, (Owner{1000, 1001}));
}

TEST_F(OwnerEnvironment, ReportsTheUserVariableFirst) {
  auto owner = owner_from_env();
  ASSERT_FALSE(owner);
  EXPECT_EQ(chain(owner.error()),
            "KORVANE_HELPER_OWNER_UID is not set / environment variable not found");
  ::setenv(OWNER_UID_ENV, "1000", 1);
  owner = owner_from_env();
  ASSERT_FALSE(owner);
  EXPECT_EQ(chain(owner.error()),
            "KORVANE_HELPER_OWNER_GID is not set / environment variable not found");
  ::setenv(OWNER_GID_ENV, "-5", 1);
  owner = owner_from_env();
  ASSERT_FALSE(owner);
  EXPECT_EQ(chain(owner.error()),
            "KORVANE_HELPER_OWNER_GID is not a usable ID / expected an unsigned ID / invalid "
            "digit found in string");
}

TEST_F(OwnerEnvironment, QuotesAndEscapesAValueThatIsNotUnicode) {
  ::setenv(OWNER_UID_ENV, "1\xFF\"\n\xC3", 1);
  const auto id = read_id_env(OWNER_UID_ENV);
  ASSERT_FALSE(id);
  EXPECT_EQ(chain(id.error()),
            "KORVANE_HELPER_OWNER_UID is not set / environment variable was not valid unicode: "
            "\"1\\xFF\\\"\\n\\xC3\"");
}

}  // namespace
}  // namespace service::linux
