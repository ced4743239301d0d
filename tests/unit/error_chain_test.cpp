#include "common/error.hpp"
#include "common/exit_status.hpp"
#include "common/os_error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace service {
namespace {

TEST(ErrorChain, PrintsBareMessage) {
  EXPECT_EQ(format_error_chain(Error("helper accepts at most one command")),
            "Error: helper accepts at most one command\n");
}

TEST(ErrorChain, PrintsOneCauseIndentedByFourBlanks) {
  const Error error("bind /x", Error("first line\nsecond line"));
  EXPECT_EQ(format_error_chain(error),
            "Error: bind /x\n\nCaused by:\n    first line\n    second line\n");
}

TEST(ErrorChain, NumbersSeveralCausesAndIndentsTheirContinuations) {
  Error error("outer", Error("middle", Error("inner\nmore")));
  EXPECT_EQ(format_error_chain(error),
            "Error: outer\n\nCaused by:\n    0: middle\n    1: inner\n       more\n");
}

TEST(ErrorChain, ContextWrapsTheLowerError) {
  const Error error = Error::from_os(ENOENT).context("inspect /opt");
  EXPECT_EQ(error.message(), "inspect /opt");
  ASSERT_NE(error.cause(), nullptr);
  EXPECT_EQ(error.cause()->os_code(), ENOENT);
  EXPECT_EQ(error.os_code(), std::nullopt);
}

TEST(OsErrorText, DescribesTheErrnoAndItsNumber) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(EACCES), "Permission denied (os error 13)");
}

TEST(ExitStatusText, CoversExitsSignalsAndCores) {
  struct Case {
    int wait_status;
    const char* text;
  };
  const Case cases[] = {
      {0, "exit status: 0"},
      {1 << 8, "exit status: 1"},
      {255 << 8, "exit status: 255"},
      {9, "signal: 9 (SIGKILL)"},
      {15, "signal: 15 (SIGTERM)"},
      {6 | 0x80, "signal: 6 (SIGABRT) (core dumped)"},
      {34, "signal: 34"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(exit_status_text(c.wait_status), c.text) << c.wait_status;
}

}  // namespace
}  // namespace service
