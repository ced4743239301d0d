#include "support/subprocess.hpp"

#include <gtest/gtest.h>

namespace {

using testing_support::run;

const std::string kHelper = KORVANE_HELPER_PATH;

TEST(HelperCommandLine, RefusesWordsItDoesNotKnow) {
  struct Case {
    std::vector<std::string> words;
    std::string err;
  };
  const Case cases[] = {
      {{"Install"}, "Error: unknown helper command: Install\n"},
      {{" install"}, "Error: unknown helper command:  install\n"},
      {{""}, "Error: unknown helper command: \n"},
      {{"bogus", "extra"}, "Error: unknown helper command: bogus\n"},
      {{"\xFF"
        "x\xE2\x82"},
       "Error: unknown helper command: \xEF\xBF\xBDx\xEF\xBF\xBD\n"},
      {{"install", "extra"}, "Error: helper accepts at most one command\n"},
      {{"uninstall", ""}, "Error: helper accepts at most one command\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{kHelper};
    argv.insert(argv.end(), c.words.begin(), c.words.end());
    const auto outcome = run(argv, {});
    EXPECT_TRUE(outcome.exited_with(1)) << c.err;
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(outcome.out, "");
  }
}

TEST(HelperCommandLine, ServiceModeReadsTheOwnerFirst) {
  struct Case {
    std::vector<std::string> env;
    std::string err;
  };
  const Case cases[] = {
      {{},
       "Error: KORVANE_HELPER_OWNER_UID is not set\n\nCaused by:\n    environment variable not "
       "found\n"},
      {{"KORVANE_HELPER_OWNER_UID=1000"},
       "Error: KORVANE_HELPER_OWNER_GID is not set\n\nCaused by:\n    environment variable not "
       "found\n"},
      {{"KORVANE_HELPER_OWNER_UID=abc", "KORVANE_HELPER_OWNER_GID=1000"},
       "Error: KORVANE_HELPER_OWNER_UID is not a usable ID\n\nCaused by:\n    0: expected an "
       "unsigned ID\n    1: invalid digit found in string\n"},
      {{"KORVANE_HELPER_OWNER_UID=1000", "KORVANE_HELPER_OWNER_GID=0"},
       "Error: KORVANE_HELPER_OWNER_GID is not a usable ID\n\nCaused by:\n    expected a "
       "non-root ID\n"},
      {{"KORVANE_HELPER_OWNER_UID=\xFF"},
       "Error: KORVANE_HELPER_OWNER_UID is not set\n\nCaused by:\n    environment variable was "
       "not valid unicode: \"\\xFF\"\n"},
  };
  for (const auto& c : cases) {
    const auto outcome = run({kHelper}, c.env);
    EXPECT_TRUE(outcome.exited_with(1)) << c.err;
    EXPECT_EQ(outcome.err, c.err);
  }
}

TEST(HelperCommandLine, ARuntimeTheSystemRefusesIsReportedAsSuch) {
  // Too few descriptors for the loops' epoll and wake-up descriptors.
  const auto outcome = run({"/usr/bin/prlimit", "--nofile=6", kHelper},
                           {"KORVANE_HELPER_OWNER_UID=1000", "KORVANE_HELPER_OWNER_GID=1000"});
  EXPECT_TRUE(outcome.exited_with(1));
  EXPECT_EQ(outcome.err,
            "Error: create helper runtime\n\nCaused by:\n    Too many open files (os error 24)\n");
}

}  // namespace
