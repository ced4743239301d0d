#include "service/hub/core_verification.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace service::hub {
namespace {

TEST(CoreAddress, HasExactlyTheFixedShape) {
  struct Case {
    std::string_view address;
    bool valid;
  };
  const Case cases[] = {
      {"/tmp/KorvaneVeskSocket_1.sock", true},
      {"/tmp/KorvaneVeskSocket_0123456789.sock", true},
      {"/tmp/KorvaneVeskSocket_01234567890.sock", false},
      {"/tmp/KorvaneVeskSocket_.sock", false},
      {"/tmp/KorvaneVeskSocket_12a4.sock", false},
      {"/tmp/KorvaneVeskSocket_-1.sock", false},
      {"/tmp/KorvaneVeskSocket_1.socket", false},
      {"/var/tmp/KorvaneVeskSocket_1.sock", false},
      {"/tmp//KorvaneVeskSocket_1.sock", false},
      {"/tmp/./KorvaneVeskSocket_1.sock", false},
      {"/tmp/KorvaneVeskSocket_1.sock/", false},
      {"/tmp/KorvaneVeskSocket_\xD9\xA1.sock", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_valid_core_address(c.address), c.valid) << c.address;
}

TEST(SessionId, IsThirtyTwoLowercaseHexDigits) {
  EXPECT_TRUE(is_valid_session_id("0123456789abcdef0123456789abcdef"));
  EXPECT_FALSE(is_valid_session_id("0123456789abcdef0123456789abcde"));
  EXPECT_FALSE(is_valid_session_id("0123456789abcdef0123456789abcdef0"));
  EXPECT_FALSE(is_valid_session_id("0123456789ABCDEF0123456789abcdef"));
  EXPECT_FALSE(is_valid_session_id("0123456789abcdef0123456789abcdeg"));
  EXPECT_FALSE(is_valid_session_id(""));
}

class CoreSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvane-socket-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string make_socket(const char* name) {
    const std::string path = dir_ + "/" + name;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    return path;
  }

  std::string dir_;
};

TEST_F(CoreSocket, MustBeASocketOfTheOwnerItself) {
  const uid_t me = ::geteuid();
  const auto socket = make_socket("s.sock");
  EXPECT_TRUE(check_core_socket(socket, me));

  const auto foreign = check_core_socket(socket, me + 1);
  ASSERT_FALSE(foreign);
  EXPECT_EQ(foreign.error().message(), "Core address is not a socket owned by the Helper owner");

  const auto link = dir_ + "/link.sock";
  ASSERT_EQ(::symlink(socket.c_str(), link.c_str()), 0);
  EXPECT_FALSE(check_core_socket(link, me));

  const auto file = dir_ + "/file.sock";
  ::close(::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  EXPECT_FALSE(check_core_socket(file, me));

  const auto missing = check_core_socket(dir_ + "/missing.sock", me);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
}

TEST(Sha256, StreamsTheWholeFile) {
  char path[] = "/tmp/korvane-sha-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::unlink(path);
  auto empty = sha256_of(fd);
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string block(10000, 'x');
  ASSERT_EQ(::write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
  ::lseek(fd, 0, SEEK_SET);
  auto digest = sha256_of(fd);
  ASSERT_TRUE(digest);
  EXPECT_EQ(digest->size(), 64u);
  EXPECT_NE(*digest, *empty);
  ::close(fd);
}

}  // namespace
}  // namespace service::hub
