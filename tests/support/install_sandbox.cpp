#include "support/install_sandbox.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <linux/magic.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testing_support {

namespace fs = std::filesystem;

namespace {

std::string mount_namespace() {
  std::error_code ignored;
  return fs::read_symlink("/proc/self/ns/mnt", ignored).string();
}

const std::string kHostNamespace = mount_namespace();

// Empty text on success, else what went wrong. Done once per process; only
// this (the main) thread and the threads and children it starts later see
// the private mounts.
std::string enter_private_namespace() {
  static const std::string failure = []() -> std::string {
    if (::unshare(CLONE_NEWNS) != 0)
      return std::string("unshare: ") + std::strerror(errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return std::string("make / private: ") + std::strerror(errno);
    if (::mount("tmpfs", kUnitDirectory, "tmpfs", 0, "mode=0755") != 0)
      return std::string("mount tmpfs: ") + std::strerror(errno);
    return {};
  }();
  return failure;
}

bool unit_directory_is_private() {
  struct statfs status {};
  return mount_namespace() != kHostNamespace && ::statfs(kUnitDirectory, &status) == 0 &&
         status.f_type == TMPFS_MAGIC;
}

void clear_unit_directory() {
  for (const auto& entry : fs::directory_iterator(kUnitDirectory))
    fs::remove_all(entry.path());
}

std::string printf_escaped(const std::string& bytes) {
  std::string format;
  for (const unsigned char byte : bytes) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\%03o", byte);
    format += escape;
  }
  return format;
}

void write_script(const std::string& path, const std::string& body) {
  write_file(path, "#!/bin/sh\n" + body, 0755);
}

std::string recording(const std::string& name, const std::string& calls) {
  return "printf '" + name + "' >> '" + calls + "'\nprintf ' <%s>' \"$@\" >> '" + calls +
         "'\nprintf '\\n' >> '" + calls + "'\n";
}

}  // namespace

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const std::string& path, const std::string& content, unsigned mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  fs::permissions(path, static_cast<fs::perms>(mode));
}

unsigned file_mode(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0)
    return 0;
  return status.st_mode & 07777;
}

void InstallSandboxTest::SetUp() {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root for a private mount namespace and file ownership";
  const std::string failure = enter_private_namespace();
  ASSERT_EQ(failure, "");
  // Never let a test reach the machine's own unit directory.
  ASSERT_TRUE(unit_directory_is_private());
  clear_unit_directory();

  char pattern[] = "/tmp/korvane-install.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  work_ = pattern;
  fs::permissions(work_, static_cast<fs::perms>(0755));
  stubs_ = work_ + "/stubs";
  fs::create_directory(stubs_);
  fs::permissions(stubs_, static_cast<fs::perms>(0755));
  app_ = work_ + "/app";
  use_helper_in(app_);
  write_systemctl();
  write_id("1001\n");
}

void InstallSandboxTest::TearDown() {
  if (!work_.empty())
    fs::remove_all(work_);
  if (unit_directory_is_private())
    clear_unit_directory();
}

void InstallSandboxTest::write_systemctl(
    const std::vector<std::pair<std::string, std::string>>& actions) {
  std::string body = recording("systemctl", work_ + "/calls");
  body += "echo \"systemctl says $*\"\necho \"systemctl warns $*\" >&2\ncase \"$*\" in\n";
  for (const auto& [args, action] : actions)
    body += "  '" + args + "') " + action + " ;;\n";
  body += "esac\nexit 0\n";
  write_script(stubs_ + "/systemctl", body);
}

void InstallSandboxTest::write_id(const std::string& output, const std::string& action) {
  std::string body = recording("id", work_ + "/calls");
  body += "echo 'id noise' >&2\nprintf '" + printf_escaped(output) + "'\n" + action + "\n";
  write_script(stubs_ + "/id", body);
}

void InstallSandboxTest::remove_stand_in(const std::string& name) {
  fs::remove(stubs_ + "/" + name);
}

std::vector<std::string> InstallSandboxTest::calls() const {
  std::vector<std::string> lines;
  std::istringstream in(read_file(work_ + "/calls"));
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

Outcome InstallSandboxTest::run_helper(const std::string& word,
                                       std::vector<std::string> env) const {
  env.push_back("PATH=" + stubs_);
  return run({helper_, word}, env);
}

std::string InstallSandboxTest::use_helper_in(const std::string& directory) {
  fs::create_directories(directory);
  fs::permissions(directory, static_cast<fs::perms>(0755));
  helper_ = directory + "/KorvaneVeskHelperService";
  fs::copy_file(KORVANE_HELPER_PATH, helper_, fs::copy_options::overwrite_existing);
  fs::permissions(helper_, static_cast<fs::perms>(0755));
  return helper_;
}

}  // namespace testing_support
