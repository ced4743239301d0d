#include "support/h2_frames.hpp"
#include "support/helper_sandbox.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace testing_support {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kSessionA = "0123456789abcdef0123456789abcdef";
const std::string kSessionB = "fedcba9876543210fedcba9876543210";

std::string proc_field(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) {
      std::string value = line.substr(field.size() + 1);
      while (!value.empty() && (value.front() == '\t' || value.front() == ' '))
        value.erase(0, 1);
      return value;
    }
  }
  return "";
}

bool is_running(pid_t pid) {
  const std::string state = proc_field(pid, "State");
  return !state.empty() && state[0] != 'Z';
}

std::string body_of(const std::string& response) {
  const auto at = response.find("\r\n\r\n");
  return at == std::string::npos ? response : response.substr(at + 4);
}

std::string status_line(const std::string& response) {
  return response.substr(0, response.find("\r\n"));
}

std::string core_digest() {
  const auto outcome = run({"/usr/bin/sha256sum", shipped_core()}, {});
  return outcome.out.substr(0, 64);
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

std::string core_digest_of(const std::string& bytes) {
  const std::string copy = "/tmp/core-copy";
  {
    std::ofstream out(copy, std::ios::binary);
    out << bytes;
  }
  const auto outcome = run({"/usr/bin/sha256sum", copy}, {});
  ::unlink(copy.c_str());
  return outcome.out.substr(0, 64);
}

// The helper's children running the shipped Core, zombies left out. Other
// test processes may run their own helpers beside this one.
std::vector<pid_t> running_cores(pid_t helper) {
  std::vector<pid_t> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    std::error_code failure;
    const auto exe = fs::read_symlink(entry.path() / "exe", failure);
    if (!failure && exe == shipped_core() && is_running(std::stoi(name)) &&
        proc_field(std::stoi(name), "PPid") == std::to_string(helper)) {
      found.push_back(std::stoi(name));
    }
  }
  return found;
}

// Every running Core of this test process's sandbox, whoever its parent now is.
std::vector<pid_t> cores_in_this_sandbox() {
  std::vector<pid_t> found;
  std::error_code failure;
  const auto own = fs::read_symlink("/proc/self/ns/mnt", failure);
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    const auto exe = fs::read_symlink(entry.path() / "exe", failure);
    const auto space = fs::read_symlink(entry.path() / "ns" / "mnt", failure);
    if (!failure && exe == shipped_core() && space == own && is_running(std::stoi(name)))
      found.push_back(std::stoi(name));
  }
  return found;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class Supervision : public ::testing::Test {
 protected:
  void SetUp() override { service_.emplace(); }
  void TearDown() override {
    const pid_t helper = service_->pid();
    const auto cores = running_cores(helper);
    service_.reset();
    for (pid_t core : cores)
      EXPECT_FALSE(is_running(core)) << "left running: " << core;
  }

  // Starts the Core on a fresh address and waits until it has connected.
  pid_t start(CoreControl& control, const std::string& address, const std::string& session) {
    const std::string response = post("/start", start_body(address, session));
    EXPECT_EQ(status_line(response), "HTTP/1.1 200 OK") << response;
    EXPECT_TRUE(control.accept_core());
    return started_pid(response);
  }

  std::optional<HelperService> service_;
};

TEST_F(Supervision, CoreRunsWithTheOwnersRealIdsAndNothingInherited) {
  CoreControl control("/tmp/KorvaneVeskSocket_1.sock");
  const std::string response =
      post("/start", start_body("/tmp/KorvaneVeskSocket_1.sock", kSessionA));
  const pid_t pid = started_pid(response);
  EXPECT_EQ(body_of(response),
            R"({"sessionId":")" + kSessionA + R"(","pid":)" + std::to_string(pid) + "}");
  ASSERT_TRUE(control.accept_core());
  EXPECT_EQ(proc_field(pid, "Uid"), "4242\t0\t0\t0");
  EXPECT_EQ(proc_field(pid, "Gid"), "4242\t0\t0\t0");
  EXPECT_EQ(proc_field(pid, "SigBlk"), "0000000000000000");
  EXPECT_EQ(std::stoull(proc_field(pid, "SigIgn"), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u);
  const std::string proc = "/proc/" + std::to_string(pid);
  EXPECT_EQ(fs::read_symlink(proc + "/cwd"), kShippedDir);
  std::ifstream cmdline(proc + "/cmdline");
  std::string args((std::istreambuf_iterator<char>(cmdline)), {});
  EXPECT_EQ(args, shipped_core() + '\0' + "/tmp/KorvaneVeskSocket_1.sock" + '\0');
  EXPECT_EQ(control.query("startup-fds"), "0,1,2");

  EXPECT_EQ(body_of(post("/stop", R"({"sessionId":")" + kSessionA + "\"}")),
            R"({"sessionId":")" + kSessionA + R"(","stopped":true})");
  EXPECT_FALSE(is_running(pid));
  EXPECT_EQ(body_of(post("/stop", R"({"sessionId":")" + kSessionA + "\"}")),
            R"({"sessionId":")" + kSessionA + R"(","stopped":false,"reason":"notRunning"})");
  EXPECT_EQ(logs(),
            "KorvaneVeskCore serving /tmp/KorvaneVeskSocket_1.sock\nKorvaneVeskCore stopping");
}

// "Max open files" of /proc/PID/limits: soft and hard.
std::pair<std::string, std::string> open_file_limits(pid_t pid) {
  std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(limits, line);) {
    if (line.rfind("Max open files", 0) == 0) {
      std::istringstream fields(line.substr(14));
      std::string soft, hard;
      fields >> soft >> hard;
      return {soft, hard};
    }
  }
  return {};
}

TEST_F(Supervision, CoreGetsTheHelpersOwnLimitAndNoDescriptorOnAnyKernel) {
  // The helper inherits a descriptor without close-on-exec, a soft limit of
  // 1,024, and a kernel whose close_range(2) does not exist.
  const int inherited = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(inherited, 3);
  HelperService::Options options;
  options.spawn.open_file_soft_limit = 1024;
  options.spawn.inherited_fd = inherited;
  options.spawn.without_close_range = true;
  service_.reset();
  service_.emplace(options);
  ::close(inherited);
  const auto helper_limits = open_file_limits(service_->pid());
  EXPECT_EQ(helper_limits.first, helper_limits.second) << "raised to the hard limit";

  CoreControl control("/tmp/KorvaneVeskSocket_21.sock");
  const pid_t core = start(control, "/tmp/KorvaneVeskSocket_21.sock", kSessionA);
  EXPECT_EQ(control.query("startup-fds"), "0,1,2");
  EXPECT_EQ(open_file_limits(core), std::make_pair(std::string("1024"), helper_limits.second));
}

// Sends POST /start over HTTP/2 on a connection of its own and leaves.
void start_over_http2_and_leave(const std::string& address, const std::string& session) {
  const std::string body = start_body(address, session);
  const int fd = connect_as(kOwnerUid, kOwnerGid);
  send_all(fd, h2::preface() +
                   h2::frame(h2::HEADERS, h2::END_HEADERS, 1,
                             h2::request_block(true, "/start",
                                               {{"content-length", std::to_string(body.size())}})) +
                   h2::frame(h2::DATA, h2::END_STREAM, 1, body));
  ::close(fd);
}

TEST_F(Supervision, ShutdownWaitsForStartsWhoseHttp2ClientsLeft) {
  CoreControl first("/tmp/KorvaneVeskSocket_22.sock");
  start(first, "/tmp/KorvaneVeskSocket_22.sock", kSessionA);
  ASSERT_TRUE(first.command("ignore-term"));
  // The first start waits 3 s for the old Core, the second waits for it.
  CoreControl second("/tmp/KorvaneVeskSocket_23.sock");
  CoreControl third("/tmp/KorvaneVeskSocket_24.sock");
  start_over_http2_and_leave("/tmp/KorvaneVeskSocket_23.sock", kSessionB);
  std::this_thread::sleep_for(300ms);
  start_over_http2_and_leave("/tmp/KorvaneVeskSocket_24.sock", kSessionA);
  std::this_thread::sleep_for(300ms);
  ::kill(service_->pid(), SIGTERM);
  const auto status = service_->wait_for(30);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
  // Both starts ran to their end before the stop, and the stop ended the
  // last Core: none outlives the helper.
  EXPECT_TRUE(eventually([] { return cores_in_this_sandbox().empty(); }, 2s));
}

TEST_F(Supervision, PingIsAnsweredWhileHundredsOfStartsWaitForTheRegistry) {
  CoreControl control("/tmp/KorvaneVeskSocket_25.sock");
  start(control, "/tmp/KorvaneVeskSocket_25.sock", kSessionA);
  ASSERT_TRUE(control.command("ignore-term"));
  // Every start then stops the old Core (3 s, then SIGKILL) and fails to
  // verify this Core at once, so the queue behind it drains fast.
  const std::string core = shipped_core();
  const std::string shipped = read_all(core);
  ::unlink(core.c_str());
  {
    std::ofstream other(core, std::ios::binary);
    other << "not the Core";
  }
  ::chmod(core.c_str(), 0755);

  // More starts than the blocking pool has threads.
  const std::string body = start_body("/tmp/KorvaneVeskSocket_25.sock", kSessionB);
  std::vector<int> starts;
  for (int i = 0; i < 520; ++i) {
    starts.push_back(connect_as(kOwnerUid, kOwnerGid));
    send_all(starts.back(), "POST /start HTTP/1.1\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body);
  }
  // Every start has been read (and so handed to the pool) once nothing
  // waits unread on the way to the helper.
  ASSERT_TRUE(eventually([&] {
    return std::all_of(starts.begin(), starts.end(), [](int fd) {
      int unread = 0;
      return ::ioctl(fd, SIOCOUTQ, &unread) == 0 && unread == 0;
    });
  }));
  const std::string pinged =
      exchange("GET /ping?coreSha256=" + core_digest_of(shipped) + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ(status_line(pinged), "HTTP/1.1 200 OK");
  // Before any start could finish: the first of them is still stopping the old Core.
  std::vector<pollfd> answered;
  for (const int fd : starts)
    answered.push_back({fd, POLLIN, 0});
  EXPECT_EQ(::poll(answered.data(), answered.size(), 0), 0) << "a start answered before the ping";

  for (const int fd : starts) {
    EXPECT_EQ(status_line(read_response(fd)), "HTTP/1.1 409 Conflict");
    ::close(fd);
  }
  ::unlink(core.c_str());
  {
    std::ofstream restored(core, std::ios::binary);
    restored << shipped;
  }
  ::chmod(core.c_str(), 0755);
}

TEST_F(Supervision, StandardErrorIsRelayedLineByLineUntilItIsNotUtf8) {
  CoreControl control("/tmp/KorvaneVeskSocket_2.sock");
  start(control, "/tmp/KorvaneVeskSocket_2.sock", kSessionA);
  ASSERT_TRUE(control.command("raw 6f6e650d0a0a74776f0d0d0a"));  // "one\r\n\ntwo\r\r\n"
  ASSERT_TRUE(control.command("raw " + std::string(70000 * 2, '6') + "0a"));  // 70000 "f"
  ASSERT_TRUE(control.command("say after"));
  ASSERT_TRUE(control.command("raw 62616466ff0a"));  // "badf\xFF\n"
  control.command("exit 1");
  ASSERT_TRUE(eventually([] { return logs().ends_with("Core exited on its own: exit status: 1"); }))
      << logs();
  std::vector<std::string> lines;
  std::istringstream text(logs());
  for (std::string line; std::getline(text, line);)
    lines.push_back(line);
  const std::vector<std::string> expected = {
      "KorvaneVeskCore serving /tmp/KorvaneVeskSocket_2.sock",
      "one",
      "",
      "two\r",
      std::string(65536, 'f'),
      std::string(70000 - 65536, 'f'),
      "after",
      "Core exited on its own: exit status: 1"};
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(lines[i] == expected[i]) << i << ": " << lines[i].size() << " bytes";
  }

  EXPECT_EQ(body_of(post("/stop", R"({"sessionId":")" + kSessionA + "\"}")),
            R"({"sessionId":")" + kSessionA + R"(","stopped":false,"reason":"notRunning"})");
}

TEST_F(Supervision, StartStopsTheRunningCoreFirstAndKillsOneThatIgnoresSigterm) {
  CoreControl first("/tmp/KorvaneVeskSocket_3.sock");
  const pid_t old_core = start(first, "/tmp/KorvaneVeskSocket_3.sock", kSessionA);
  ASSERT_TRUE(first.command("ignore-term"));
  CoreControl second("/tmp/KorvaneVeskSocket_4.sock");
  const auto began = std::chrono::steady_clock::now();
  const pid_t new_core = start(second, "/tmp/KorvaneVeskSocket_4.sock", kSessionB);
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_GE(took, 3s);
  EXPECT_LT(took, 4500ms);
  EXPECT_FALSE(is_running(old_core));
  EXPECT_TRUE(is_running(new_core));
  EXPECT_EQ(status_line(post("/stop", R"({"sessionId":")" + kSessionA + "\"}")),
            "HTTP/1.1 409 Conflict");
  EXPECT_TRUE(is_running(new_core));
  // The same session again restarts its Core.
  CoreControl third("/tmp/KorvaneVeskSocket_5.sock");
  const pid_t restarted = start(third, "/tmp/KorvaneVeskSocket_5.sock", kSessionB);
  EXPECT_NE(restarted, new_core);
  EXPECT_FALSE(is_running(new_core));
  EXPECT_EQ(running_cores(service_->pid()), std::vector<pid_t>{restarted});
}

TEST_F(Supervision, BadStartRequestsLeaveTheRunningCoreAlone) {
  CoreControl control("/tmp/KorvaneVeskSocket_6.sock");
  const pid_t core = start(control, "/tmp/KorvaneVeskSocket_6.sock", kSessionA);
  CoreControl foreign("/tmp/KorvaneVeskSocket_7.sock");
  ASSERT_EQ(::chown("/tmp/KorvaneVeskSocket_7.sock", 0, 0), 0);
  ASSERT_EQ(::symlink("/tmp/KorvaneVeskSocket_6.sock", "/tmp/KorvaneVeskSocket_8.sock"), 0);
  ::close(::open("/tmp/KorvaneVeskSocket_9.sock", O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  ASSERT_EQ(::chown("/tmp/KorvaneVeskSocket_9.sock", kOwnerUid, kOwnerGid), 0);
  const std::string not_owned = "Core address is not a socket owned by the Helper owner";
  struct Case {
    std::string address;
    std::string session;
    std::string message;
  };
  const Case cases[] = {
      {"/tmp/KorvaneVeskSocket_.sock", kSessionA, "invalid Core address"},
      {"/var/tmp/KorvaneVeskSocket_1.sock", kSessionA, "invalid Core address"},
      {"/tmp/KorvaneVeskSocket_6.sock", "0123456789ABCDEF0123456789abcdef",
       "invalid Core session ID"},
      {"/tmp/KorvaneVeskSocket_6.sock", kSessionA.substr(1), "invalid Core session ID"},
      {"/tmp/KorvaneVeskSocket_7.sock", kSessionA, not_owned},
      {"/tmp/KorvaneVeskSocket_8.sock", kSessionA, not_owned},
      {"/tmp/KorvaneVeskSocket_9.sock", kSessionA, not_owned},
      {"/tmp/KorvaneVeskSocket_10.sock", kSessionA, "No such file or directory (os error 2)"},
  };
  for (const auto& c : cases) {
    const std::string response = post("/start", start_body(c.address, c.session));
    EXPECT_EQ(status_line(response), "HTTP/1.1 400 Bad Request") << c.address;
    EXPECT_EQ(body_of(response), R"({"code":"invalidRequest","message":")" + c.message + "\"}");
  }
  EXPECT_TRUE(is_running(core));
  // An upper-case session is refused before the registry is looked at.
  EXPECT_EQ(status_line(post("/stop", R"({"sessionId":"0123456789ABCDEF0123456789ABCDEF"})")),
            "HTTP/1.1 400 Bad Request");
  EXPECT_TRUE(is_running(core));
}

// Changes the shipped Core for one test and puts it back.
class CoreFileChange {
 public:
  CoreFileChange() : original_(shipped_core() + ".original") {
    fs::copy_file(shipped_core(), original_, fs::copy_options::overwrite_existing);
  }
  ~CoreFileChange() {
    ::chmod(kShippedDir, 0755);
    fs::remove(shipped_core());
    fs::copy_file(original_, shipped_core());
    ::chmod(shipped_core().c_str(), 0755);
    fs::remove(original_);
  }

 private:
  std::string original_;
};

TEST_F(Supervision, OnlyTheBuiltInCoreThatOnlyRootCanChangeIsStarted) {
  struct Case {
    const char* what;
    void (*change)();
    std::string status;
    std::string body;
  };
  const std::string mismatch =
      R"({"code":"coreVerificationFailed","message":"Core executable SHA256 mismatch"})";
  const Case cases[] = {
      {"changed",
       [] {
         // A new file in place of the running one, as an upgrade would leave it.
         const std::string next = shipped_core() + ".next";
         fs::copy_file(shipped_core(), next);
         std::ofstream(next, std::ios::app) << 'x';
         fs::rename(next, shipped_core());
       },
       "409 Conflict", mismatch},
      {"user-owned", [] { ASSERT_EQ(::chown(shipped_core().c_str(), kOwnerUid, 0), 0); },
       "409 Conflict",
       R"({"code":"coreVerificationFailed","message":"Core executable must be owned by root and not writable by group or others"})"},
      {"group-writable", [] { ::chmod(shipped_core().c_str(), 0775); }, "409 Conflict",
       R"({"code":"coreVerificationFailed","message":"Core executable must be owned by root and not writable by group or others"})"},
      {"open directory", [] { ::chmod(kShippedDir, 0757); }, "409 Conflict",
       R"({"code":"coreVerificationFailed","message":"Core directory must be owned by root and not writable by group or others"})"},
      {"not executable", [] { ::chmod(shipped_core().c_str(), 0644); }, "500 Internal Server Error",
       R"j({"code":"processLaunchFailed","message":"Permission denied (os error 13)","details":{"osError":13}})j"},
  };
  const std::string digest = core_digest();
  for (const auto& c : cases) {
    CoreControl control("/tmp/KorvaneVeskSocket_11.sock");
    const pid_t running = start(control, "/tmp/KorvaneVeskSocket_11.sock", kSessionA);
    CoreFileChange restore;
    c.change();
    // Ping only looks for the file.
    EXPECT_EQ(status_line(exchange("GET /ping?coreSha256=" + digest + " HTTP/1.1\r\n\r\n")),
              "HTTP/1.1 200 OK")
        << c.what;
    const std::string response =
        post("/start", start_body("/tmp/KorvaneVeskSocket_11.sock", kSessionB));
    EXPECT_EQ(status_line(response), "HTTP/1.1 " + c.status) << c.what;
    EXPECT_EQ(body_of(response), c.body) << c.what;
    EXPECT_FALSE(is_running(running)) << c.what;
    EXPECT_TRUE(running_cores(service_->pid()).empty()) << c.what;
  }
  EXPECT_TRUE(logs().ends_with("\nPermission denied (os error 13)"));
}

TEST_F(Supervision, PingComparesTheDigestAndLooksForTheCore) {
  const std::string digest = core_digest();
  const auto ping = [](const std::string& query) {
    return exchange("GET /ping" + query + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
  };
  EXPECT_EQ(ping("?coreSha256=" + digest),
            "HTTP/1.1 200 OK\r\ncontent-type: text/plain; charset=utf-8\r\n"
            "x-korvane-helper-protocol: 6\r\ncontent-length: " +
                std::to_string(shipped_helper().size()) + "\r\n\r\n" + shipped_helper());
  std::string upper = digest;
  for (char& c : upper)
    c = static_cast<char>(std::toupper(c));
  for (const std::string& query :
       {"?coreSha256=" + upper, std::string("?coreSha256"), "?coreSha256=" + digest.substr(1)}) {
    EXPECT_EQ(ping(query),
              "HTTP/1.1 409 Conflict\r\ncontent-type: application/json\r\n"
              "x-korvane-helper-protocol: 6\r\ncontent-length: 62\r\n\r\n"
              R"({"code":"coreSha256Mismatch","message":"Core SHA256 mismatch"})");
  }
  {
    CoreFileChange restore;
    fs::remove(shipped_core());
    EXPECT_EQ(ping("?coreSha256=" + digest),
              "HTTP/1.1 409 Conflict\r\ncontent-type: text/plain; charset=utf-8\r\n"
              "x-korvane-helper-protocol: 6\r\ncontent-length: 38\r\n\r\n"
              "No such file or directory (os error 2)");
  }
  EXPECT_EQ(logs(),
            "Helper ping rejected a Core SHA256 mismatch\nHelper ping rejected a Core SHA256 "
            "mismatch\nHelper ping rejected a Core SHA256 mismatch\nHelper ping failed: No such "
            "file or directory (os error 2)");
  const auto h2 = curl({"--http2-prior-knowledge", "http://localhost/ping?coreSha256=" + digest});
  EXPECT_EQ(h2.out, shipped_helper());
}

TEST_F(Supervision, PingIsAnsweredWhileAStopHoldsTheRegistry) {
  CoreControl control("/tmp/KorvaneVeskSocket_12.sock");
  start(control, "/tmp/KorvaneVeskSocket_12.sock", kSessionA);
  ASSERT_TRUE(control.command("ignore-term"));
  std::thread stopper([] { post("/stop", R"({"sessionId":")" + kSessionA + "\"}"); });
  std::this_thread::sleep_for(300ms);
  const auto began = std::chrono::steady_clock::now();
  const std::string pinged =
      exchange("GET /ping?coreSha256=" + core_digest() + " HTTP/1.1\r\n\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - began, 1s);
  EXPECT_EQ(status_line(pinged), "HTTP/1.1 200 OK");
  stopper.join();
}

TEST_F(Supervision, StartWhoseClientLeftStillRegistersItsCore) {
  CoreControl first("/tmp/KorvaneVeskSocket_13.sock");
  start(first, "/tmp/KorvaneVeskSocket_13.sock", kSessionA);
  ASSERT_TRUE(first.command("ignore-term"));
  CoreControl second("/tmp/KorvaneVeskSocket_14.sock");
  const std::string body = start_body("/tmp/KorvaneVeskSocket_14.sock", kSessionB);
  const int fd = connect_as(kOwnerUid, kOwnerGid);
  send_all(fd, "POST /start HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                   "\r\n\r\n" + body);
  std::this_thread::sleep_for(300ms);
  ::close(fd);  // while the old Core is still being stopped
  ASSERT_TRUE(second.accept_core());
  EXPECT_EQ(body_of(post("/stop", R"({"sessionId":")" + kSessionB + "\"}")),
            R"({"sessionId":")" + kSessionB + R"(","stopped":true})");
}

TEST_F(Supervision, ShutdownStopsTheCoreAndFurtherSignalsChangeNothing) {
  CoreControl control("/tmp/KorvaneVeskSocket_15.sock");
  const pid_t core = start(control, "/tmp/KorvaneVeskSocket_15.sock", kSessionA);
  ASSERT_TRUE(control.command("ignore-term"));
  const auto began = std::chrono::steady_clock::now();
  ::kill(service_->pid(), SIGTERM);
  std::this_thread::sleep_for(1s);  // the helper is waiting for the Core now
  ::kill(service_->pid(), SIGTERM);
  ::kill(service_->pid(), SIGINT);
  const auto status = service_->wait_for(15);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_GE(std::chrono::steady_clock::now() - began, 3s);
  EXPECT_FALSE(is_running(core));
}

TEST_F(Supervision, AStormOfStartsAndStopsLeavesOneCoreAndNoLeaks) {
  const pid_t helper = service_->pid();
  const auto count_fds = [helper] {
    return std::distance(fs::directory_iterator("/proc/" + std::to_string(helper) + "/fd"),
                         fs::directory_iterator());
  };
  logs();  // the workers' reactor comes up with the first connection
  const auto baseline = count_fds();
  std::vector<std::unique_ptr<CoreControl>> sockets;
  for (int i = 0; i < 4; ++i) {
    sockets.push_back(
        std::make_unique<CoreControl>("/tmp/KorvaneVeskSocket_2" + std::to_string(i) + ".sock"));
  }
  const std::string sessions[] = {kSessionA, kSessionB};
  std::vector<std::thread> clients;
  for (int t = 0; t < 6; ++t) {
    clients.emplace_back([t, &sessions] {
      for (int i = 0; i < 5; ++i) {
        const std::string session = sessions[(t + i) % 2];
        const std::string address =
            "/tmp/KorvaneVeskSocket_2" + std::to_string((t + i) % 4) + ".sock";
        if ((t + i) % 3 == 0) {
          post("/stop", R"({"sessionId":")" + session + "\"}");
        } else if (t % 2 == 0) {
          post("/start", start_body(address, session));
        } else {
          curl({"--http2-prior-knowledge", "-H", "content-type: application/json", "-d",
                start_body(address, session), "http://localhost/start"});
        }
      }
    });
  }
  for (auto& client : clients)
    client.join();
  EXPECT_LE(running_cores(service_->pid()).size(), 1u);
  // The registry agrees with what runs: stopping both sessions leaves nothing.
  for (const auto& session : sessions)
    post("/stop", R"({"sessionId":")" + session + "\"}");
  EXPECT_TRUE(eventually([this] { return running_cores(service_->pid()).empty(); }));
  // A connection may still be closing when the baseline is taken: at most.
  EXPECT_TRUE(eventually([&] { return count_fds() <= baseline; }))
      << count_fds() << " vs " << baseline
      << run({"/bin/ls", "-l", "/proc/" + std::to_string(helper) + "/fd"}, {}).out;
  // No zombie is left among the helper's children.
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    if (proc_field(std::stoi(name), "PPid") == std::to_string(helper)) {
      EXPECT_NE(proc_field(std::stoi(name), "State")[0], 'Z') << name;
    }
  }
}

}  // namespace
}  // namespace testing_support
