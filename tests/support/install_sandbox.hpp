#pragma once

#include "support/subprocess.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

inline constexpr const char* kUnitDirectory = "/etc/systemd/system";
inline constexpr const char* kUnitPath = "/etc/systemd/system/korvane-vesk-helper.service";

// Install and uninstall tests run the real helper as root, but inside a
// private mount namespace with an empty tmpfs over /etc/systemd/system, and
// with recording stand-ins for systemctl and id as the only things on PATH.
// The helper runs from a copy in a root-owned temporary directory so the
// ownership checks see a tree the test controls.
class InstallSandboxTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A stand-in systemctl: records its arguments, prints one line to each of
  // output and error, and runs the shell `action` given for its joined
  // arguments ("exit 3", "kill -9 $$"), or exits 0.
  void write_systemctl(const std::vector<std::pair<std::string, std::string>>& actions = {});
  // A stand-in id: records its arguments, writes noise to error, prints
  // `output` byte for byte, then runs `action`.
  void write_id(const std::string& output, const std::string& action = "exit 0");
  void remove_stand_in(const std::string& name);

  // Each call of a stand-in as "name <arg> <arg>".
  std::vector<std::string> calls() const;

  // Runs the helper copy with exactly `env` plus PATH, in this namespace.
  Outcome run_helper(const std::string& word, std::vector<std::string> env) const;
  Outcome install() const { return run_helper("install", {"PKEXEC_UID=1000"}); }

  // Copies the helper into `directory` (created 0755 if missing) and makes
  // it the one that runs.
  std::string use_helper_in(const std::string& directory);

  std::string work_;    // root-owned 0755, holds everything below
  std::string stubs_;   // the stand-ins, alone on PATH
  std::string app_;     // the helper copy's directory
  std::string helper_;  // the helper copy
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content, unsigned mode = 0644);
unsigned file_mode(const std::string& path);

}  // namespace testing_support
