#include "service/linux/executable_trust.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace service::linux {
namespace {

namespace fs = std::filesystem;

std::string chain(const Error& error) {
  std::string text = error.message();
  for (const Error* cause = error.cause(); cause; cause = cause->cause())
    text += " / " + cause->message();
  return text;
}

const std::string kRefusal =
    " must be owned by root and not writable by group or others to run as a service; install "
    "the package instead of running an unpacked bundle";

// A tree /tmp/trust.XXXXXX/up/dir/exe, all root's and mode 0755, that each
// case then loosens in one place or two.
class ExecutableTrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0)
      GTEST_SKIP() << "needs root to give files away";
    char pattern[] = "/tmp/trust.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    top_ = pattern;
    up_ = top_ + "/up";
    dir_ = up_ + "/dir";
    exe_ = dir_ + "/exe";
    fs::create_directories(dir_);
    std::ofstream(exe_) << "#!/bin/sh\n";
  }
  void TearDown() override {
    if (!top_.empty())
      fs::remove_all(top_);
  }

  void reset() {
    for (const auto& path : {top_, up_, dir_, exe_}) {
      ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
      ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
    }
  }

  std::string top_, up_, dir_, exe_;
};

TEST_F(ExecutableTrustTest, RefusesWhatAnotherUserCouldReplace) {
  struct Change {
    const std::string* path;
    uid_t uid;
    gid_t gid;
    mode_t mode;
  };
  struct Case {
    const char* name;
    std::vector<Change> changes;
    const std::string* named;  // nullptr: trusted
  };
  const Case cases[] = {
      {"all root's", {}, nullptr},
      {"group owner is not examined", {{&exe_, 0, 4242, 0755}, {&dir_, 0, 4242, 0750}}, nullptr},
      {"file owned by a user", {{&exe_, 4242, 0, 0755}}, &exe_},
      {"file group-writable", {{&exe_, 0, 0, 0775}}, &exe_},
      {"file writable by others", {{&exe_, 0, 0, 0757}}, &exe_},
      {"file named before its directory", {{&exe_, 4242, 0, 0755}, {&dir_, 4242, 0, 0755}}, &exe_},
      {"directory owned by a user", {{&dir_, 4242, 4242, 0755}}, &dir_},
      {"directory group-writable", {{&dir_, 0, 0, 0775}}, &dir_},
      {"directory sticky is no excuse", {{&dir_, 0, 0, 01777}}, &dir_},
      {"ancestor owned by a user", {{&up_, 4242, 0, 0755}}, &up_},
      {"ancestor group-writable", {{&up_, 0, 0, 0775}}, &up_},
      {"ancestor writable by others", {{&top_, 0, 0, 0757}}, &top_},
      {"ancestor sticky and root's", {{&up_, 0, 0, 01777}}, nullptr},
      {"ancestor sticky but a user's", {{&up_, 4242, 0, 01777}}, &up_},
      {"nearest ancestor first", {{&up_, 0, 0, 0775}, {&top_, 4242, 0, 0755}}, &up_},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    for (const auto& change : c.changes) {
      ASSERT_EQ(::chown(change.path->c_str(), change.uid, change.gid), 0);
      ASSERT_EQ(::chmod(change.path->c_str(), change.mode), 0);
    }
    const auto trusted = ensure_only_root_can_change(exe_);
    if (c.named == nullptr)
      EXPECT_TRUE(trusted) << chain(trusted.error());
    else
      EXPECT_EQ(trusted ? "trusted" : chain(trusted.error()), *c.named + kRefusal);
  }
}

TEST_F(ExecutableTrustTest, ReportsWhatItCannotInspect) {
  reset();
  const std::string missing = dir_ + "/missing";
  const auto trusted = ensure_only_root_can_change(missing);
  ASSERT_FALSE(trusted);
  EXPECT_EQ(chain(trusted.error()),
            "inspect " + missing + " / No such file or directory (os error 2)");

  const auto rootless = ensure_only_root_can_change("exe");
  ASSERT_FALSE(rootless);
  EXPECT_EQ(chain(rootless.error()), "helper executable has no parent directory");
}

}  // namespace
}  // namespace service::linux
