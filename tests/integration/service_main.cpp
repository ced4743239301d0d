#include "support/helper_sandbox.hpp"

#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::signal(SIGPIPE, SIG_IGN);
  testing_support::enter_helper_sandbox();
  return RUN_ALL_TESTS();
}
