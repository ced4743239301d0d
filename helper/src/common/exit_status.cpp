#include "common/exit_status.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <utility>

namespace service {

namespace {

const char* signal_name(int number) {
  static constexpr std::array<std::pair<int, const char*>, 31> kNames{{
      {SIGHUP, "SIGHUP"},       {SIGINT, "SIGINT"},       {SIGQUIT, "SIGQUIT"},
      {SIGILL, "SIGILL"},       {SIGTRAP, "SIGTRAP"},     {SIGABRT, "SIGABRT"},
      {SIGBUS, "SIGBUS"},       {SIGFPE, "SIGFPE"},       {SIGKILL, "SIGKILL"},
      {SIGUSR1, "SIGUSR1"},     {SIGSEGV, "SIGSEGV"},     {SIGUSR2, "SIGUSR2"},
      {SIGPIPE, "SIGPIPE"},     {SIGALRM, "SIGALRM"},     {SIGTERM, "SIGTERM"},
      {SIGSTKFLT, "SIGSTKFLT"}, {SIGCHLD, "SIGCHLD"},     {SIGCONT, "SIGCONT"},
      {SIGSTOP, "SIGSTOP"},     {SIGTSTP, "SIGTSTP"},     {SIGTTIN, "SIGTTIN"},
      {SIGTTOU, "SIGTTOU"},     {SIGURG, "SIGURG"},       {SIGXCPU, "SIGXCPU"},
      {SIGXFSZ, "SIGXFSZ"},     {SIGVTALRM, "SIGVTALRM"}, {SIGPROF, "SIGPROF"},
      {SIGWINCH, "SIGWINCH"},   {SIGIO, "SIGIO"},         {SIGPWR, "SIGPWR"},
      {SIGSYS, "SIGSYS"},
  }};
  for (const auto& [value, name] : kNames) {
    if (value == number)
      return name;
  }
  return nullptr;
}

}  // namespace

std::string exit_status_text(int wait_status) {
  if (WIFEXITED(wait_status))
    return "exit status: " + std::to_string(WEXITSTATUS(wait_status));
  if (WIFSIGNALED(wait_status)) {
    const int number = WTERMSIG(wait_status);
    std::string text = "signal: " + std::to_string(number);
    if (const char* name = signal_name(number))
      text += std::string(" (") + name + ")";
    if (WCOREDUMP(wait_status))
      text += " (core dumped)";
    return text;
  }
  if (WIFSTOPPED(wait_status)) {
    const int number = WSTOPSIG(wait_status);
    std::string text = "stopped (not terminated) by signal: " + std::to_string(number);
    if (const char* name = signal_name(number))
      text += std::string(" (") + name + ")";
    return text;
  }
  return "unrecognised wait status: " + std::to_string(wait_status);
}

}  // namespace service
