#include "service/hub/core_registry.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace service::hub {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

enum class OnTerm { ReportAndExit, Ignore };

// A real child. On SIGTERM it writes "T" to `report` before it exits, so a
// test can tell SIGTERM ended it; everything after fork is async-signal-safe.
int g_report_fd = -1;
void report_and_exit(int) {
  [[maybe_unused]] auto n = ::write(g_report_fd, "T", 1);
  ::_exit(0);
}

// Returns once the child has set up its SIGTERM behaviour.
pid_t start_child(OnTerm behaviour, int report_fd) {
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0) {
    g_report_fd = report_fd;
    ::signal(SIGTERM, behaviour == OnTerm::Ignore ? SIG_IGN : report_and_exit);
    [[maybe_unused]] auto n = ::write(ready[1], "R", 1);
    for (;;)
      ::pause();
  }
  ::close(ready[1]);
  char byte = 0;
  [[maybe_unused]] auto n = ::read(ready[0], &byte, 1);
  ::close(ready[0]);
  return pid;
}

constexpr const char* kSession = "0123456789abcdef0123456789abcdef";

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::pipe2(report_, O_CLOEXEC | O_NONBLOCK), 0); }
  void TearDown() override {
    auto registry = lock_surviving_poison(MANAGED_CORE());
    if (*registry) {
      (*registry)->process.send_signal(SIGKILL);
      ::waitpid((*registry)->process.id(), nullptr, 0);
      registry->reset();
    }
    ::close(report_[0]);
    ::close(report_[1]);
  }

  void register_core(pid_t pid) {
    lock_surviving_poison(MANAGED_CORE())->emplace(ManagedCore{kSession, CoreProcess(pid)});
  }

  std::chrono::milliseconds timed_release(Result<void>& outcome) {
    auto registry = lock_surviving_poison(MANAGED_CORE());
    const auto start = steady_clock::now();
    outcome = release_managed_core(*registry);
    return std::chrono::duration_cast<std::chrono::milliseconds>(steady_clock::now() - start);
  }

  bool saw_sigterm() {
    char byte = 0;
    return ::read(report_[0], &byte, 1) == 1 && byte == 'T';
  }

  int report_[2] = {-1, -1};
};

TEST_F(Registry, EmptyReleaseSucceedsAtOnce) {
  Result<void> outcome;
  EXPECT_LT(timed_release(outcome), 50ms);
  EXPECT_TRUE(outcome);
}

TEST_F(Registry, CoreThatExitsOnSigtermIsNeverKilled) {
  register_core(start_child(OnTerm::ReportAndExit, report_[1]));
  Result<void> outcome;
  EXPECT_LT(timed_release(outcome), 2s);
  ASSERT_TRUE(outcome);
  EXPECT_TRUE(saw_sigterm());
  EXPECT_FALSE(lock_surviving_poison(MANAGED_CORE())->has_value());
}

TEST_F(Registry, CoreThatIgnoresSigtermIsKilledAfterThreeSeconds) {
  register_core(start_child(OnTerm::Ignore, report_[1]));
  Result<void> outcome;
  const auto took = timed_release(outcome);
  ASSERT_TRUE(outcome);
  EXPECT_GE(took, 3s);
  EXPECT_LT(took, 4500ms);
  EXPECT_FALSE(lock_surviving_poison(MANAGED_CORE())->has_value());
}

TEST_F(Registry, DeadButUncollectedCoreIsCollectedWithoutWaiting) {
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0)
    ::_exit(7);
  // Still a zombie: nothing collects it but the registry.
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
  register_core(pid);
  Result<void> outcome;
  EXPECT_LT(timed_release(outcome), 100ms);
  EXPECT_TRUE(outcome);
  EXPECT_FALSE(lock_surviving_poison(MANAGED_CORE())->has_value());
}

TEST_F(Registry, FailedExitQueryKeepsTheRecord) {
  // A process that is not our child: the exit query fails with ECHILD.
  int pid_pipe[2];
  ASSERT_EQ(::pipe(pid_pipe), 0);
  const pid_t middle = ::fork();
  ASSERT_GE(middle, 0);
  if (middle == 0) {
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
      for (;;)
        ::pause();
    }
    [[maybe_unused]] auto n = ::write(pid_pipe[1], &grandchild, sizeof grandchild);
    ::_exit(0);
  }
  pid_t grandchild = -1;
  ASSERT_EQ(::read(pid_pipe[0], &grandchild, sizeof grandchild),
            static_cast<ssize_t>(sizeof grandchild));
  ::waitpid(middle, nullptr, 0);
  ::close(pid_pipe[0]);
  ::close(pid_pipe[1]);

  register_core(grandchild);
  Result<void> outcome;
  timed_release(outcome);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().message(), "No child processes (os error 10)");
  auto registry = lock_surviving_poison(MANAGED_CORE());
  ASSERT_TRUE(registry->has_value());
  ::kill(grandchild, SIGKILL);
  registry->reset();
}

TEST_F(Registry, StaysUsableAfterAHolderFailed) {
  EXPECT_THROW(
      {
        auto registry = lock_surviving_poison(MANAGED_CORE());
        registry->emplace(ManagedCore{kSession, CoreProcess(start_child(OnTerm::Ignore, -1))});
        throw std::runtime_error("cut short");
      },
      std::runtime_error);
  std::thread other([] {
    auto registry = lock_surviving_poison(MANAGED_CORE());
    EXPECT_TRUE(registry->has_value());
  });
  other.join();
}

TEST(WaitForExit, PollsUntilTheCoreExitsAndKeepsItsStatus) {
  ManagedCore core{kSession, CoreProcess(start_child(OnTerm::Ignore, -1))};
  auto running = core.wait_for_exit(60ms);
  ASSERT_TRUE(running);
  EXPECT_EQ(*running, CoreExit::NotExited);
  ASSERT_TRUE(core.process.send_signal(SIGKILL));
  auto exited = core.wait_for_exit(3s);
  ASSERT_TRUE(exited);
  EXPECT_EQ(*exited, CoreExit::Exited);
  ASSERT_TRUE(core.process.wait_status());
  EXPECT_EQ(WTERMSIG(*core.process.wait_status()), SIGKILL);
}

}  // namespace
}  // namespace service::hub
