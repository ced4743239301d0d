#include "support/install_sandbox.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using testing_support::kUnitPath;
using testing_support::write_file;

using UninstallTest = testing_support::InstallSandboxTest;

const std::string kDisable = "systemctl <disable> <--now> <korvane-vesk-helper>";
const std::string kReload = "systemctl <daemon-reload>";

TEST_F(UninstallTest, RemovesTheUnitAndReloads) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> systemctl;
    bool has_systemctl;
    int status;
    std::string out;
    std::string err;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      // disable's own output is dropped; daemon-reload's reaches the terminal.
      {"plain",
       {},
       true,
       0,
       "systemctl says daemon-reload\n",
       "systemctl warns daemon-reload\n",
       {kDisable, kReload}},
      {"disable fails",
       {{"disable --now korvane-vesk-helper", "exit 5"}},
       true,
       0,
       "systemctl says daemon-reload\n",
       "systemctl warns daemon-reload\n",
       {kDisable, kReload}},
      {"reload fails",
       {{"daemon-reload", "exit 1"}},
       true,
       1,
       "systemctl says daemon-reload\n",
       "systemctl warns daemon-reload\nError: systemctl daemon-reload failed with exit status: 1\n",
       {kDisable, kReload}},
      {"no systemctl",
       {},
       false,
       1,
       "",
       "Error: run systemctl daemon-reload\n\nCaused by:\n    No such file or directory (os error "
       "2)\n",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(work_ + "/calls");
    if (c.has_systemctl)
      write_systemctl(c.systemctl);
    else
      remove_stand_in("systemctl");
    write_file(kUnitPath, "[Service]\nEnvironment=KORVANE_HELPER_OWNER_UID=2000\n");
    const auto outcome = run_helper("uninstall", {});
    EXPECT_TRUE(outcome.exited_with(c.status));
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(calls(), c.calls);
    EXPECT_FALSE(fs::exists(kUnitPath));
  }
}

TEST_F(UninstallTest, NothingInstalledIsQuietSuccess) {
  const auto outcome = run_helper("uninstall", {});
  EXPECT_TRUE(outcome.exited_with(0));
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(calls(), std::vector<std::string>{kDisable});
}

TEST_F(UninstallTest, AUnitPathThatCannotBeRemovedFails) {
  fs::create_directory(kUnitPath);
  const auto outcome = run_helper("uninstall", {});
  EXPECT_TRUE(outcome.exited_with(1));
  EXPECT_EQ(outcome.err, std::string("Error: remove ") + kUnitPath +
                             "\n\nCaused by:\n    Is a directory (os error 21)\n");
  EXPECT_EQ(calls(), std::vector<std::string>{kDisable});
  EXPECT_TRUE(fs::is_directory(kUnitPath));
}

}  // namespace
