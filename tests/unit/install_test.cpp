#include "service/linux/install.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace service::linux {
namespace {

TEST(ExecStartValue, QuotesWhatSystemdWouldReadOtherwise) {
  struct Case {
    std::string_view path;
    std::string_view value;
  };
  const Case cases[] = {
      {"/opt/app/KorvaneVeskHelperService", "\"/opt/app/KorvaneVeskHelperService\""},
      {"/opt/my app/$HOME/x", "\"/opt/my app/$HOME/x\""},
      {"/opt/100%/x", "\"/opt/100%%/x\""},
      {"/opt/a\"b/x", "\"/opt/a\\\"b/x\""},
      {"/opt/a\\b/x", "\"/opt/a\\\\b/x\""},
      {"/opt/\\\"%%/x", "\"/opt/\\\\\\\"%%%%/x\""},
      {"/opt/\xC3\xA9t\xC3\xA9/x", "\"/opt/\xC3\xA9t\xC3\xA9/x\""},
      {"/opt/a\xFF"
       "b/x",
       "\"/opt/a\xEF\xBF\xBD"
       "b/x\""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(exec_start_value(c.path), c.value) << c.path;
}

TEST(InstalledOwnerUid, TakesTheFirstOwnerLineOnly) {
  struct Case {
    std::string_view unit;
    std::optional<std::uint32_t> uid;
  };
  const Case cases[] = {
      {"", std::nullopt},
      {"[Service]\nEnvironment=KORVANE_HELPER_OWNER_UID=1000\n", 1000},
      {"Environment=KORVANE_HELPER_OWNER_UID=1000", 1000},  // no final line feed
      {"a\r\nEnvironment=KORVANE_HELPER_OWNER_UID=1000\r\nb\r\n", 1000},
      {"Environment=KORVANE_HELPER_OWNER_UID= \t+0001000\xC2\xA0\n", 1000},
      {"Environment=KORVANE_HELPER_OWNER_UID=0\n", 0},
      {"Environment=KORVANE_HELPER_OWNER_UID=4294967295\n", 4294967295u},
      {"Environment=KORVANE_HELPER_OWNER_UID=4294967296\n", std::nullopt},
      {"Environment=KORVANE_HELPER_OWNER_UID=1 000\n", std::nullopt},
      {"Environment=KORVANE_HELPER_OWNER_UID=\n", std::nullopt},
      {" Environment=KORVANE_HELPER_OWNER_UID=1000\n", std::nullopt},
      {"environment=KORVANE_HELPER_OWNER_UID=1000\n", std::nullopt},
      {"Environment=KORVANE_HELPER_OWNER_GID=1000\n", std::nullopt},
      {"Environment=KORVANE_HELPER_OWNER_UIDS=1000\n", std::nullopt},
      {"Environment=KORVANE_HELPER_OWNER_UID=1000\nEnvironment=KORVANE_HELPER_OWNER_UID=2000\n",
       1000},
      // An unusable first line is still the first: the second is not read.
      {"Environment=KORVANE_HELPER_OWNER_UID=x\nEnvironment=KORVANE_HELPER_OWNER_UID=2000\n",
       std::nullopt},
      // Only a carriage return before a line feed ends a line.
      {"Environment=KORVANE_HELPER_OWNER_UID=1000\rEnvironment=X\n", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(installed_owner_uid(c.unit), c.uid) << c.unit;
}

}  // namespace
}  // namespace service::linux
