#include "support/install_sandbox.hpp"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

namespace {

namespace fs = std::filesystem;
using testing_support::file_mode;
using testing_support::kUnitDirectory;
using testing_support::kUnitPath;
using testing_support::read_file;
using testing_support::run;
using testing_support::write_file;

using InstallTest = testing_support::InstallSandboxTest;

const std::string kRefusal =
    " must be owned by root and not writable by group or others to run as a service; install "
    "the package instead of running an unpacked bundle\n";

const std::vector<std::string> kAllCalls = {
    "id <-g> <1000>",
    "systemctl <daemon-reload>",
    "systemctl <enable> <korvane-vesk-helper>",
    "systemctl <restart> <korvane-vesk-helper>",
};

// The unit for owner 1000 with group 1001, byte for byte.
std::string expected_unit(const std::string& exec_start) {
  return "[Unit]\n"
         "Description=Korvane Helper starts the Korvane Core with the privileges TUN mode needs.\n"
         "After=nftables.service iptables.service\n"
         "StartLimitIntervalSec=60\n"
         "StartLimitBurst=5\n"
         "\n"
         "[Service]\n"
         "Type=simple\n"
         "ExecStart=" +
         exec_start + "\n" +
         "Group=1001\n"
         "Environment=KORVANE_HELPER_OWNER_UID=1000\n"
         "Environment=KORVANE_HELPER_OWNER_GID=1001\n"
         "RuntimeDirectory=korvane-vesk\n"
         "RuntimeDirectoryMode=0755\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

// systemd's own reading of the unit, including that ExecStart names an
// executable that exists. It needs no running systemd.
testing_support::Outcome verify_unit() {
  return run({"/usr/bin/systemd-analyze", "verify", kUnitPath},
             {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "SYSTEMD_LOG_COLOR=0"});
}

// Restores the umask when a test ends, however it ends.
class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : saved_(::umask(mask)) {}
  ~UmaskScope() { ::umask(saved_); }
  UmaskScope(const UmaskScope&) = delete;
  UmaskScope& operator=(const UmaskScope&) = delete;

 private:
  mode_t saved_;
};

TEST_F(InstallTest, WritesTheUnitAndHasSystemdStartIt) {
  const auto outcome = install();
  ASSERT_TRUE(outcome.exited_with(0)) << outcome.err;
  // Only systemctl speaks; the helper and id's error output stay silent.
  EXPECT_EQ(outcome.out,
            "systemctl says daemon-reload\nsystemctl says enable korvane-vesk-helper\n"
            "systemctl says restart korvane-vesk-helper\n");
  EXPECT_EQ(outcome.err,
            "systemctl warns daemon-reload\nsystemctl warns enable korvane-vesk-helper\n"
            "systemctl warns restart korvane-vesk-helper\n");
  EXPECT_EQ(calls(), kAllCalls);
  EXPECT_EQ(read_file(kUnitPath), expected_unit("\"" + helper_ + "\""));
  EXPECT_EQ(file_mode(kUnitPath), 0644u);

  ASSERT_TRUE(fs::exists("/usr/bin/systemd-analyze")) << "scripts/setup.sh installs systemd";
  const auto verified = verify_unit();
  EXPECT_TRUE(verified.exited_with(0)) << verified.out << verified.err;
}

TEST_F(InstallTest, QuotesTheExecutablePathForSystemd) {
  struct Case {
    std::string directory;
    std::string exec_start_directory;
    bool systemd_accepts;  // systemd refuses `"` and `\` in executable names
  };
  const Case cases[] = {
      {"a b%c$d", "a b%%c$d", true},
      {"a b%c\"d\\e$f", "a b%%c\\\"d\\\\e$f", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.directory);
    use_helper_in(work_ + "/" + c.directory);
    const auto outcome = install();
    ASSERT_TRUE(outcome.exited_with(0)) << outcome.err;
    const std::string exec_start =
        "\"" + work_ + "/" + c.exec_start_directory + "/KorvaneVeskHelperService\"";
    EXPECT_EQ(read_file(kUnitPath), expected_unit(exec_start));
    if (c.systemd_accepts) {
      const auto verified = verify_unit();
      EXPECT_TRUE(verified.exited_with(0)) << verified.out << verified.err;
    }
  }
}

TEST_F(InstallTest, UnitIsNeverWritableByOthers) {
  // Mode 0644 whatever the umask, for a new unit and for an old one that
  // was left open to everybody.
  for (const mode_t mask : {mode_t{077}, mode_t{000}}) {
    for (const bool existing : {false, true}) {
      SCOPED_TRACE(testing::Message() << "umask " << mask << " existing " << existing);
      fs::remove(kUnitPath);
      if (existing)
        write_file(kUnitPath, "[Service]\n", 0666);
      UmaskScope scope(mask);
      const auto outcome = install();
      ASSERT_TRUE(outcome.exited_with(0)) << outcome.err;
      EXPECT_EQ(file_mode(kUnitPath), 0644u);
    }
  }
}

TEST_F(InstallTest, AFailedWriteLeavesTheOldUnitAsItWas) {
  // The new unit goes to a file of its own: whatever stops its writing, the
  // old unit keeps its text and its mode, and nothing is left beside it.
  ASSERT_EQ(::mount("tmpfs", kUnitDirectory, "tmpfs", 0, "mode=0755,size=8k"), 0);
  struct Unmount {
    ~Unmount() { ::umount2(kUnitDirectory, MNT_DETACH); }
  } unmount;
  const std::string old_unit = "[Service]\nEnvironment=KORVANE_HELPER_OWNER_UID=1000\n";
  const std::string filler = std::string(kUnitDirectory) + "/filler";
  struct Case {
    const char* name;
    bool full_file_system;
    const char* cause;
  };
  const Case cases[] = {
      {"file size limit", false, "File too large (os error 27)"},
      {"full file system", true, "No space left on device (os error 28)"},
  };
  UmaskScope scope(0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const bool existing : {false, true}) {
      SCOPED_TRACE(existing ? "existing" : "new");
      fs::remove(kUnitPath);
      fs::remove(filler);
      if (existing)
        write_file(kUnitPath, old_unit, 0666);
      if (c.full_file_system)
        write_file(filler, std::string(existing ? 4096 : 8192, 'x'));
      // A write past the file size limit fails with EFBIG once SIGXFSZ is
      // ignored; in place, it would have cut the old unit short.
      const auto outcome =
          c.full_file_system
              ? install()
              : run({"/bin/sh", "-c",
                     "trap '' XFSZ; exec /usr/bin/prlimit --fsize=64 \"$0\" install", helper_},
                    {"PKEXEC_UID=1000", "PATH=" + stubs_});
      EXPECT_TRUE(outcome.exited_with(1)) << outcome.err;
      EXPECT_EQ(outcome.err,
                std::string("Error: write ") + kUnitPath + "\n\nCaused by:\n    " + c.cause + "\n");
      std::vector<std::string> left;
      for (const auto& entry : fs::directory_iterator(kUnitDirectory))
        left.push_back(entry.path().filename());
      std::sort(left.begin(), left.end());
      std::vector<std::string> expected;
      if (c.full_file_system)
        expected.push_back("filler");
      if (existing)
        expected.push_back("korvane-vesk-helper.service");
      EXPECT_EQ(left, expected);
      if (existing) {
        EXPECT_EQ(read_file(kUnitPath), old_unit);
        EXPECT_EQ(file_mode(kUnitPath), 0666u);
      }
    }
  }
}

TEST_F(InstallTest, RefusesAnExecutableThatOthersCouldReplace) {
  // The full rules are unit-tested; this shows the command stops at them.
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string named;  // empty: installs
  };
  const std::string executable = helper_;
  const Case cases[] = {
      {"user-owned file in user-owned directory",
       [&] {
         EXPECT_EQ(::chown(executable.c_str(), 4242, 4242), 0);
         EXPECT_EQ(::chown(app_.c_str(), 4242, 4242), 0);
       },
       executable},
      {"group-writable directory", [&] { ::chmod(app_.c_str(), 0775); }, app_},
      {"user-owned directory further up", [&] { EXPECT_EQ(::chown(work_.c_str(), 4242, 0), 0); },
       work_},
      {"root-owned sticky directory further up", [&] { ::chmod(work_.c_str(), 01777); }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& path : {executable, app_, work_})
      ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
    ::chmod(app_.c_str(), 0755);
    ::chmod(work_.c_str(), 0755);
    fs::remove(kUnitPath);
    fs::remove(work_ + "/calls");
    c.arrange();
    const auto outcome = install();
    if (c.named.empty()) {
      EXPECT_TRUE(outcome.exited_with(0)) << outcome.err;
      EXPECT_EQ(calls(), kAllCalls);
    } else {
      EXPECT_TRUE(outcome.exited_with(1));
      EXPECT_EQ(outcome.err, "Error: " + c.named + kRefusal);
      EXPECT_TRUE(calls().empty());
      EXPECT_FALSE(fs::exists(kUnitPath));
    }
  }
}

TEST_F(InstallTest, ReadsTheOwnerOfAnExistingUnit) {
  const std::string other =
      "Error: the Helper is already installed for UID 2000; run `KorvaneVeskHelperService "
      "uninstall` as that user first\n";
  const std::string not_utf8 = std::string("Error: read ") + kUnitPath +
                               "\n\nCaused by:\n    stream did not contain valid UTF-8\n";
  struct Case {
    const char* name;
    std::string unit;
    std::string err;  // empty: the unit is overwritten
  };
  const Case cases[] = {
      {"another user", "[Service]\nEnvironment=KORVANE_HELPER_OWNER_UID=2000\n", other},
      {"another user, CRLF", "[Service]\r\nEnvironment=KORVANE_HELPER_OWNER_UID=2000\r\n", other},
      {"another user, blanks", "Environment=KORVANE_HELPER_OWNER_UID= \t2000 \n", other},
      {"first owner line counts",
       "Environment=KORVANE_HELPER_OWNER_UID=2000\nEnvironment=KORVANE_HELPER_OWNER_UID=1000\n",
       other},
      {"root in the unit", "Environment=KORVANE_HELPER_OWNER_UID=0",
       "Error: the Helper is already installed for UID 0; run `KorvaneVeskHelperService "
       "uninstall` as that user first\n"},
      {"not UTF-8", "Environment=KORVANE_HELPER_OWNER_UID=1000\n\xFF\n", not_utf8},
      {"same user, CRLF", "[Service]\r\nEnvironment=KORVANE_HELPER_OWNER_UID=1000\r\n", ""},
      {"same user, blanks", "Environment=KORVANE_HELPER_OWNER_UID=  +1000\t\n", ""},
      {"owner line after a blank", " Environment=KORVANE_HELPER_OWNER_UID=2000\n", ""},
      {"no number", "Environment=KORVANE_HELPER_OWNER_UID=\n", ""},
      {"no owner line", "[Service]\nExecStart=/bin/true\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(work_ + "/calls");
    write_file(kUnitPath, c.unit, 0600);
    const auto outcome = install();
    if (c.err.empty()) {
      EXPECT_TRUE(outcome.exited_with(0)) << outcome.err;
      EXPECT_EQ(read_file(kUnitPath), expected_unit("\"" + helper_ + "\""));
    } else {
      EXPECT_TRUE(outcome.exited_with(1));
      EXPECT_EQ(outcome.err, c.err);
      EXPECT_EQ(read_file(kUnitPath), c.unit);
      EXPECT_EQ(file_mode(kUnitPath), 0600u);
      EXPECT_EQ(calls(), std::vector<std::string>{"id <-g> <1000>"});
    }
  }
}

TEST_F(InstallTest, AnUnreadableUnitStopsTheInstall) {
  fs::create_directory(kUnitPath);
  const auto outcome = install();
  EXPECT_TRUE(outcome.exited_with(1));
  EXPECT_EQ(outcome.err, std::string("Error: read ") + kUnitPath +
                             "\n\nCaused by:\n    Is a directory (os error 21)\n");
}

TEST_F(InstallTest, FindsTheInvokingOwner) {
  const std::string not_usable = "Error: the invoking user ID is not usable\n\nCaused by:\n";
  const std::string group_not_usable = "Error: the invoking group is not usable\n\nCaused by:\n";
  struct Case {
    const char* name;
    std::vector<std::string> env;
    std::string id_output;
    std::string id_action;  // "missing": no id on PATH
    std::string err;        // empty: installs with Group=1001
  };
  const std::string flood_error =
      "i=0; while [ $i -lt 3000 ]; do echo "
      "'..................................................................................' >&2; "
      "i=$((i+1)); done; printf '1001\\n'; exit 0";
  const Case cases[] = {
      {"pkexec", {"PKEXEC_UID=1000"}, "1001\n", "exit 0", ""},
      {"sudo", {"SUDO_UID=1000"}, "1001", "exit 0", ""},
      {"id printed with blanks and sign", {"SUDO_UID= +001000\n"}, " 1001 \n", "exit 0", ""},
      {"pkexec not UTF-8 counts as unset",
       {"PKEXEC_UID=\xFF", "SUDO_UID=1000"},
       "1001\n",
       "exit 0",
       ""},
      {"id floods its error output", {"PKEXEC_UID=1000"}, "", flood_error, ""},
      {"neither",
       {},
       "1001\n",
       "exit 0",
       "Error: neither PKEXEC_UID nor SUDO_UID is set; run the installer through pkexec\n"},
      {"pkexec empty wins over sudo",
       {"PKEXEC_UID=", "SUDO_UID=1000"},
       "1001\n",
       "exit 0",
       not_usable +
           "    0: expected an unsigned ID\n    1: cannot parse integer from empty string\n"},
      {"sudo from root",
       {"SUDO_UID=0"},
       "1001\n",
       "exit 0",
       not_usable + "    expected a non-root ID\n"},
      {"group 0",
       {"PKEXEC_UID=1000"},
       "0\n",
       "exit 0",
       group_not_usable + "    expected a non-root ID\n"},
      {"group not a number",
       {"PKEXEC_UID=1000"},
       "staff\n",
       "exit 0",
       group_not_usable + "    0: expected an unsigned ID\n    1: invalid digit found in string\n"},
      {"id fails",
       {"PKEXEC_UID=1000"},
       "",
       "exit 1",
       "Error: id -g 1000 failed with exit status: 1\n"},
      {"id killed",
       {"PKEXEC_UID=1000"},
       "1001\n",
       "kill -9 $$",
       "Error: id -g 1000 failed with signal: 9 (SIGKILL)\n"},
      {"id prints nothing",
       {"PKEXEC_UID=1000"},
       "",
       "exit 0",
       "Error: id -g 1000 returned nothing\n"},
      {"id prints a blank line",
       {"PKEXEC_UID=1000"},
       " \n",
       "exit 0",
       "Error: id -g 1000 returned nothing\n"},
      {"id prints bad UTF-8",
       {"PKEXEC_UID=1000"},
       "1\xFF\n",
       "exit 0",
       "Error: id returned invalid UTF-8\n\nCaused by:\n    invalid utf-8 sequence of 1 bytes "
       "from index 1\n"},
      {"no id",
       {"PKEXEC_UID=1000"},
       "",
       "missing",
       "Error: query the invoking user\n\nCaused by:\n    No such file or directory (os error "
       "2)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(kUnitPath);
    fs::remove(work_ + "/calls");
    if (c.id_action == "missing")
      remove_stand_in("id");
    else
      write_id(c.id_output, c.id_action);
    const auto outcome = run_helper("install", c.env);
    if (c.err.empty()) {
      EXPECT_TRUE(outcome.exited_with(0)) << outcome.err;
      EXPECT_EQ(calls(), kAllCalls);
      EXPECT_EQ(read_file(kUnitPath), expected_unit("\"" + helper_ + "\""));
    } else {
      EXPECT_TRUE(outcome.exited_with(1));
      EXPECT_EQ(outcome.err, c.err);
      EXPECT_EQ(outcome.out, "");
      EXPECT_FALSE(fs::exists(kUnitPath));
      for (const auto& call : calls())
        EXPECT_EQ(call.rfind("systemctl", 0), std::string::npos) << call;
    }
  }
}

TEST_F(InstallTest, StopsAtTheFirstSystemctlFailure) {
  struct Case {
    const char* failing;  // joined arguments; empty: no systemctl at all
    std::string action;
    std::string err;
    std::size_t calls;
  };
  const Case cases[] = {
      {"daemon-reload", "exit 1", "Error: systemctl daemon-reload failed with exit status: 1\n", 2},
      {"enable korvane-vesk-helper", "exit 3",
       "Error: systemctl enable korvane-vesk-helper failed with exit status: 3\n", 3},
      {"restart korvane-vesk-helper", "kill -9 $$",
       "Error: systemctl restart korvane-vesk-helper failed with signal: 9 (SIGKILL)\n", 4},
      {"", "",
       "Error: run systemctl daemon-reload\n\nCaused by:\n    No such file or directory (os error "
       "2)\n",
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.failing);
    fs::remove(kUnitPath);
    fs::remove(work_ + "/calls");
    if (*c.failing)
      write_systemctl({{c.failing, c.action}});
    else
      remove_stand_in("systemctl");
    const auto outcome = install();
    EXPECT_TRUE(outcome.exited_with(1));
    const std::vector<std::string> made(kAllCalls.begin(),
                                        kAllCalls.begin() + static_cast<long>(c.calls));
    EXPECT_EQ(calls(), made);
    // What systemctl itself wrote comes first, then the helper's one message.
    std::string err;
    const char* const systemctl_args[] = {"daemon-reload", "enable korvane-vesk-helper",
                                          "restart korvane-vesk-helper"};
    for (std::size_t i = 1; i < made.size(); ++i)
      err += std::string("systemctl warns ") + systemctl_args[i - 1] + "\n";
    EXPECT_EQ(outcome.err, err + c.err);
    // The unit is written before systemd is asked anything.
    EXPECT_EQ(read_file(kUnitPath), expected_unit("\"" + helper_ + "\""));
  }
}

}  // namespace
