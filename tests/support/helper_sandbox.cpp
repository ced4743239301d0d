#include "support/helper_sandbox.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testing_support {

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void ship(const std::string& bytes, const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  out.close();
  ::chmod(path.c_str(), 0755);
}

void must(bool ok, const char* what) {
  if (!ok)
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

std::string shipped_helper() {
  return std::string(kShippedDir) + "/KorvaneVeskHelperService";
}
std::string shipped_core() {
  return std::string(kShippedDir) + "/KorvaneVeskCore";
}

void enter_helper_sandbox() {
  // The build may live under /tmp: read it before the tmpfs hides it.
  const std::string helper = slurp(KORVANE_HELPER_PATH);
  const std::string core = slurp(KORVANE_CORE_PATH);
  must(::unshare(CLONE_NEWNS) == 0, "unshare");
  must(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make / private");
  must(::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") == 0, "mount /run");
  must(::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") == 0, "mount /tmp");
  must(::mkdir("/run/korvane-vesk", 0755) == 0, "mkdir /run/korvane-vesk");
  must(::mkdir(kShippedDir, 0755) == 0, "mkdir shipped");
  ship(helper, shipped_helper());
  ship(core, shipped_core());
}

namespace {

// The owner, and the sanitizers' settings of a sanitizer build, which then
// reach the helper and the Core it starts.
std::vector<std::string> helper_environment(const std::string& asan_options) {
  std::vector<std::string> env{"KORVANE_HELPER_OWNER_UID=4242", "KORVANE_HELPER_OWNER_GID=4242",
                               "PATH=/usr/bin:/bin"};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    std::string value = std::getenv(name) ? std::getenv(name) : "";
    if (std::string_view(name) == "ASAN_OPTIONS" && !asan_options.empty())
      value += (value.empty() ? "" : ":") + asan_options;
    if (!value.empty())
      env.push_back(std::string(name) + "=" + value);
  }
  return env;
}

}  // namespace

HelperService::HelperService() : HelperService(Options{}) {}

HelperService::HelperService(Options options) {
  SpawnOptions spawn = options.spawn;
  spawn.gid = kOwnerGid;
  if (options.open_file_limit)
    spawn.open_file_limit = options.open_file_limit;
  child_.emplace(std::vector<std::string>{shipped_helper()},
                 helper_environment(options.asan_options), spawn);
  if (!options.wait_until_ready)
    return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    const int fd = connect_as(kOwnerUid, kOwnerGid);
    if (fd >= 0) {
      ::close(fd);
      return;
    }
    if (child_->wait_for(0) || std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("helper did not come up: " + child_->read_err(false));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

HelperService::~HelperService() {
  if (child_ && !child_->wait_for(0)) {
    ::kill(child_->pid(), SIGTERM);
    child_->wait_for(15);
  }
}

pid_t HelperService::pid() const {
  return child_->pid();
}

int HelperService::stop(int signal) {
  ::kill(child_->pid(), signal);
  const auto status = child_->wait_for(20);
  return status.value_or(-1);
}

std::optional<int> HelperService::wait_for(double seconds) {
  return child_->wait_for(seconds);
}

std::string HelperService::stderr_text() {
  return child_->read_err(false);
}

int connect_as(uid_t uid, gid_t gid, const char* path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  // The kernel records the effective IDs as the peer's; back to root after.
  const std::lock_guard lock(identity_lock());
  must(::setegid(gid) == 0 && ::seteuid(uid) == 0, "take the client's IDs");
  const int connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int saved = errno;
  must(::seteuid(0) == 0 && ::setegid(0) == 0, "take root's IDs back");
  if (connected != 0) {
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

void send_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

std::string read_response(int fd, bool head_request) {
  std::string text;
  char c;
  while (text.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n <= 0)
      return text;
    text += c;
  }
  std::size_t length = 0;
  if (head_request)
    return text;
  for (const char* name : {"content-length: ", "Content-Length: "}) {
    const auto at = text.find(name);
    if (at != std::string::npos)
      length = std::stoul(text.substr(at + std::strlen(name)));
  }
  std::string body(length, '\0');
  std::size_t got = 0;
  while (got < length) {
    const ssize_t n = ::read(fd, body.data() + got, length - got);
    if (n <= 0)
      break;
    got += static_cast<std::size_t>(n);
  }
  return text + body.substr(0, got);
}

std::string read_to_end(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0)
      return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string exchange(const std::string& request) {
  const int fd = connect_as(kOwnerUid, kOwnerGid);
  if (fd < 0)
    return "(connect failed)";
  send_all(fd, request);
  std::string response = read_response(fd);
  ::close(fd);
  return response;
}

Outcome curl(std::vector<std::string> arguments) {
  std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=4242",  "--regid=4242",
                                "--clear-groups",   "/usr/bin/curl", "-sS",
                                "--unix-socket",    kSocketPath};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return run(argv, {"PATH=/usr/bin:/bin"});
}

CoreControl::CoreControl(std::string address) : address_(std::move(address)) {
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un bound{};
  bound.sun_family = AF_UNIX;
  std::strncpy(bound.sun_path, address_.c_str(), sizeof bound.sun_path - 1);
  ::unlink(address_.c_str());
  must(::bind(listener_, reinterpret_cast<sockaddr*>(&bound), sizeof bound) == 0, "bind core");
  must(::listen(listener_, 4) == 0, "listen core");
  must(::chown(address_.c_str(), kOwnerUid, kOwnerGid) == 0, "chown core socket");
}

CoreControl::~CoreControl() {
  if (core_ >= 0)
    ::close(core_);
  ::close(listener_);
  ::unlink(address_.c_str());
}

bool CoreControl::accept_core(double seconds) {
  pollfd ready{listener_, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(seconds * 1000)) != 1)
    return false;
  if (core_ >= 0)
    ::close(core_);
  core_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  return core_ >= 0;
}

namespace {

std::string read_line(int fd) {
  std::string line;
  char c;
  while (!line.ends_with('\n')) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 10000) != 1 || ::read(fd, &c, 1) != 1)
      return "";
    line += c;
  }
  line.pop_back();
  return line;
}

}  // namespace

bool CoreControl::command(const std::string& line) {
  send_all(core_, line + "\n");
  return read_line(core_) == "ok";
}

std::string CoreControl::query(const std::string& line) {
  send_all(core_, line + "\n");
  std::string answer = read_line(core_);
  return read_line(core_) == "ok" ? answer : "(no ok)";
}

bool CoreControl::core_has_gone(double seconds) {
  for (;;) {
    pollfd ready{core_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(seconds * 1000)) != 1)
      return false;
    char c;
    const ssize_t n = ::read(core_, &c, 1);
    if (n == 0 || (n < 0 && errno != EINTR))
      return true;
  }
}

std::string start_body(const std::string& address, const std::string& session) {
  return R"({"address":")" + address + R"(","sessionId":")" + session + R"("})";
}

std::string post(const std::string& path, const std::string& body) {
  return exchange("POST " + path + " HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body);
}

pid_t started_pid(const std::string& response) {
  const auto at = response.find("\"pid\":");
  if (at == std::string::npos)
    return -1;
  return static_cast<pid_t>(std::stol(response.substr(at + 6)));
}

std::string logs() {
  const std::string response = exchange("GET /logs HTTP/1.1\r\nHost: localhost\r\n\r\n");
  const auto body = response.find("\r\n\r\n");
  return body == std::string::npos ? response : response.substr(body + 4);
}

}  // namespace testing_support
