#include "service/hub/log_buffer.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace service::hub {
namespace {

class LogBuffer : public ::testing::Test {
 protected:
  void SetUp() override { lock_surviving_poison(LOGS())->clear(); }
};

TEST_F(LogBuffer, StartsEmpty) {
  EXPECT_EQ(read_logs(), "");
}

TEST_F(LogBuffer, KeepsTheLastHundredLinesInOrder) {
  for (int i = 1; i <= 101; ++i)
    log_message("line " + std::to_string(i));
  std::string expected;
  for (int i = 2; i <= 101; ++i)
    expected += (i > 2 ? "\n" : "") + ("line " + std::to_string(i));
  EXPECT_EQ(read_logs(), expected);
  EXPECT_EQ(lock_surviving_poison(LOGS())->size(), LOG_CAPACITY);
}

TEST_F(LogBuffer, StoresLinesVerbatimEmptyAndRepeatedOnesIncluded) {
  log_message("a");
  log_message("");
  log_message("two\nlines");
  log_message("a");
  EXPECT_EQ(read_logs(), "a\n\ntwo\nlines\na");
  EXPECT_EQ(lock_surviving_poison(LOGS())->size(), 4u);
}

TEST_F(LogBuffer, StaysUsableAfterAHolderFailed) {
  log_message("before");
  EXPECT_THROW(
      {
        auto lines = lock_surviving_poison(LOGS());
        lines->push_back("half-done");
        throw std::runtime_error("cut short");
      },
      std::runtime_error);
  std::thread other([] { log_message("after"); });
  other.join();
  EXPECT_EQ(read_logs(), "before\nhalf-done\nafter");
}

TEST_F(LogBuffer, TakesLinesFromManyThreads) {
  std::vector<std::thread> writers;
  for (int t = 0; t < 8; ++t) {
    writers.emplace_back([] {
      for (int i = 0; i < 500; ++i)
        log_message("x");
    });
  }
  for (auto& writer : writers)
    writer.join();
  EXPECT_EQ(lock_surviving_poison(LOGS())->size(), LOG_CAPACITY);
}

}  // namespace
}  // namespace service::hub
