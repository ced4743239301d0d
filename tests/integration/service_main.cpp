#include "support/helper_sandbox.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>

namespace {

// These tests run the helper as root in a mount namespace of their own.
// Without root (an ordinary package build, say) they are skipped, not failed.
class NeedsRoot : public ::testing::Environment {
 public:
  void SetUp() override {
    if (::geteuid() != 0)
      GTEST_SKIP() << "needs root: runs the helper in a private mount namespace";
  }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::signal(SIGPIPE, SIG_IGN);
  // Listing the tests (as CTest does to find them) needs no sandbox.
  if (::geteuid() == 0 && !::testing::GTEST_FLAG(list_tests)) {
    testing_support::enter_helper_sandbox();
  } else {
    ::testing::AddGlobalTestEnvironment(new NeedsRoot());
  }
  return RUN_ALL_TESTS();
}
