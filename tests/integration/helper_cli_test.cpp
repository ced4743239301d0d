#include "support/subprocess.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using testing_support::Child;
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

// True once the process catches both SIGTERM and SIGINT.
bool listens_for_shutdown(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      const unsigned long long caught = std::stoull(line.substr(7), nullptr, 16);
      const unsigned long long wanted = (1ull << (SIGTERM - 1)) | (1ull << (SIGINT - 1));
      return (caught & wanted) == wanted;
    }
  }
  return false;
}

void wait_until_listening(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!listens_for_shutdown(pid)) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "service never listened for signals";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

class ServiceSignals : public ::testing::TestWithParam<int> {};

TEST_P(ServiceSignals, StopsInOrderWithStatusZero) {
  Child service({kHelper}, {"KORVANE_HELPER_OWNER_UID=1000", "KORVANE_HELPER_OWNER_GID=1000"});
  wait_until_listening(service.pid());
  ASSERT_EQ(::kill(service.pid(), GetParam()), 0);
  // A second signal on the way out changes nothing.
  ::kill(service.pid(), SIGTERM);
  const auto status = service.wait_for(20);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_EQ(service.read_err(true), "");
}

INSTANTIATE_TEST_SUITE_P(TermAndInt, ServiceSignals, ::testing::Values(SIGTERM, SIGINT));

}  // namespace
