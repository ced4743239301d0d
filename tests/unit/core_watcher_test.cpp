#include "service/hub/core_watcher.hpp"
#include "service/hub/log_buffer.hpp"

#include <gtest/gtest.h>

namespace service::hub {
namespace {

class Relay : public ::testing::Test {
 protected:
  void SetUp() override { lock_surviving_poison(LOGS())->clear(); }
  LogLines lines() { return *lock_surviving_poison(LOGS()); }
};

TEST_F(Relay, SplitsLinesAcrossReadsAndDropsOneCarriageReturn) {
  StderrRelay relay;
  EXPECT_TRUE(relay.feed("one\r\n\ntw"));
  EXPECT_TRUE(relay.feed("o\r\r\nth"));
  relay.finish();
  EXPECT_EQ(lines(), (LogLines{"one", "", "two\r", "th"}));
}

TEST_F(Relay, StopsAtALineThatIsNotUtf8) {
  StderrRelay relay;
  EXPECT_FALSE(relay.feed("good\nbad\xFF\nlater\n"));
  EXPECT_FALSE(relay.feed("more\n"));
  relay.finish();
  EXPECT_EQ(lines(), (LogLines{"good"}));
}

TEST_F(Relay, CutsAnOverlongLineAtCharacterBoundaries) {
  StderrRelay relay;
  // "é" is two bytes; the bound falls in the middle of one.
  std::string text = std::string(MAX_RELAYED_LINE - 1, 'a') + "\xC3\xA9" + "tail";
  EXPECT_TRUE(relay.feed(text));
  EXPECT_TRUE(relay.feed("\n"));
  const auto logged = lines();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0], std::string(MAX_RELAYED_LINE - 1, 'a'));
  EXPECT_EQ(logged[1], "\xC3\xA9tail");
}

TEST_F(Relay, AnOverlongRunThatIsNotUtf8StopsTheRelay) {
  StderrRelay relay;
  // No character starts anywhere in it, so there is no boundary to cut at.
  EXPECT_FALSE(relay.feed(std::string(MAX_RELAYED_LINE + 1, '\x80')));
  EXPECT_FALSE(relay.feed("later\n"));
  EXPECT_EQ(lines(), LogLines{});
}

TEST_F(Relay, EndOfInputWithoutBytesAddsNoLine) {
  StderrRelay relay;
  EXPECT_TRUE(relay.feed("whole\n"));
  relay.finish();
  EXPECT_EQ(lines(), (LogLines{"whole"}));
}

}  // namespace
}  // namespace service::hub
