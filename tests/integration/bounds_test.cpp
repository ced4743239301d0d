// What one owner client can make the helper hold: counted in requests and
// bytes, never in time.
#include "support/h2_client.hpp"
#include "support/h2_frames.hpp"
#include "support/helper_sandbox.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace testing_support {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// ASan keeps freed memory in quarantine; here it would count as held.
HelperService::Options measured() {
  HelperService::Options options;
  options.asan_options = "quarantine_size_mb=1:thread_local_quarantine_size_kb=64";
  return options;
}

// Reads time out instead of hanging a test whose helper never answers.
int connect_with_timeout() {
  const int fd = connect_as(kOwnerUid, kOwnerGid);
  const timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

const Fields kGetLogs = {{":method", "GET"}, {":scheme", "http"}, {":path", "/logs"}};

class Bounds : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { service_ = new HelperService(measured()); }
  static void TearDownTestSuite() {
    delete service_;
    service_ = nullptr;
  }
  static std::size_t rss() { return resident_bytes(service_->pid()); }
  static HelperService* service_;
};
HelperService* Bounds::service_ = nullptr;

TEST_F(Bounds, ALongHttp2ConnectionDoesNotGrowWithItsRequests) {
  const int fd = connect_with_timeout();
  std::size_t before = 0;
  EXPECT_EQ(h2_repeat(fd, kGetLogs, 55000, 20,
                      [&](std::size_t answered) {
                        if (answered == 5000)
                          before = rss();
                      }),
            55000u);
  const std::size_t after = rss();
  ::close(fd);
  // Kept closed streams alone would be about 13 MB here.
  EXPECT_LT(after, before + 3 * kMiB) << before << " -> " << after;
}

TEST_F(Bounds, HeaderReferencesAreCountedAtTheirFullSize) {
  // One 4,050-byte header in the HPACK table, then 147 KB of one-byte
  // references to it in HEADERS and 8 CONTINUATION frames: 600 MB decoded.
  const int fd = connect_with_timeout();
  std::string block = h2::request_block(false, "/logs") +
                      h2::literal("x-big", std::string(4050, 'a'), /*add_to_table=*/true);
  block += std::string(16384 - block.size(), '\xBE');
  std::string frames = h2::preface() + h2::frame(h2::HEADERS, 0, 1, block);
  for (int i = 0; i < 8; ++i) {
    frames +=
        h2::frame(h2::CONTINUATION, i == 7 ? h2::END_HEADERS : 0, 1, std::string(16384, '\xBE'));
  }
  const std::size_t before = rss();
  send_all(fd, frames);
  // The same connection still serves a normal request afterwards.
  send_all(fd, h2::frame(h2::HEADERS, h2::END_HEADERS | h2::END_STREAM, 3,
                         h2::request_block(false, "/logs")));
  h2::Reader reader(fd);
  std::map<std::uint32_t, int> statuses;
  while (statuses.size() < 2) {
    const auto frame = reader.next();
    ASSERT_TRUE(frame) << "connection ended with " << statuses.size() << " replies";
    if (frame->type == h2::HEADERS)
      statuses[frame->stream] = reader.status(*frame);
  }
  EXPECT_EQ(statuses[1], 431);
  EXPECT_EQ(statuses[3], 200);
  EXPECT_LT(rss(), before + 4 * kMiB);
  ::close(fd);
}

TEST_F(Bounds, StreamsBeyondTheConcurrencyLimitAreRefused) {
  // 150 requests that wait for a body, sent before our SETTINGS are acked.
  const int fd = connect_with_timeout();
  std::string frames = h2::preface();
  for (std::uint32_t i = 0; i < 150; ++i) {
    frames += h2::frame(h2::HEADERS, h2::END_HEADERS, 2 * i + 1,
                        h2::request_block(true, "/stop", {{"content-length", "10"}}));
  }
  send_all(fd, frames);
  h2::Reader reader(fd);
  std::vector<std::uint32_t> refused;
  while (refused.size() < 50) {
    const auto frame = reader.next();
    ASSERT_TRUE(frame) << refused.size() << " refused";
    if (frame->type == h2::RST_STREAM) {
      EXPECT_EQ(frame->error_code(), 7u) << "REFUSED_STREAM";
      refused.push_back(frame->stream);
    }
    ASSERT_NE(frame->type, h2::HEADERS) << "a stream waiting for its body was answered";
  }
  EXPECT_EQ(refused.front(), 201u);
  EXPECT_EQ(refused.back(), 299u);
  ::close(fd);
}

TEST_F(Bounds, AClientThatDoesNotReadIsNoLongerRead) {
  // Requests without end, from a client that never reads a reply.
  const int fd = connect_as(kOwnerUid, kOwnerGid);
  ::fcntl(fd, F_SETFL, O_NONBLOCK);
  std::string batch;
  std::uint32_t stream = 1;
  const auto next_batch = [&] {
    batch.clear();
    for (int i = 0; i < 1000; ++i, stream += 2) {
      batch += h2::frame(h2::HEADERS, h2::END_HEADERS | h2::END_STREAM, stream,
                         h2::request_block(false, "/logs"));
    }
  };
  const std::size_t before = rss();
  std::string pending = h2::preface();
  std::size_t sent = 0;
  const std::size_t attempted = 16 * kMiB;
  while (sent < attempted) {
    if (pending.empty()) {
      next_batch();
      pending = batch;
    }
    const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      pending.erase(0, static_cast<std::size_t>(n));
      continue;
    }
    // The helper has stopped taking requests once nothing moves for a second.
    pollfd writable{fd, POLLOUT, 0};
    if (::poll(&writable, 1, 1000) == 0)
      break;
  }
  EXPECT_LT(sent, 4 * kMiB);
  EXPECT_LT(rss(), before + 16 * kMiB);
  // Others are served meanwhile.
  EXPECT_EQ(logs(), "");
  ::close(fd);
}

TEST_F(Bounds, Http1HeadsAndBodiesBeyondTheLimits) {
  struct Case {
    const char* what;
    std::string request;
    std::string response;
  };
  const Case cases[] = {
      {"large declared body", "POST /stop HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n",
       "HTTP/1.1 413 Payload Too Large\r\ncontent-type: application/json\r\nconnection: "
       "close\r\ncontent-length: 69\r\n\r\n"
       R"({"code":"invalidRequest","message":"request body exceeds 4096 bytes"})"},
      {"large head", "GET /logs HTTP/1.1\r\nX-Big: " + std::string(9000, 'a') + "\r\n\r\n",
       "HTTP/1.1 431 Request Header Fields Too Large\r\nconnection: close\r\ncontent-length: "
       "0\r\n\r\n"},
  };
  for (const auto& c : cases) {
    const int fd = connect_with_timeout();
    send_all(fd, c.request);
    EXPECT_EQ(read_to_end(fd), c.response) << c.what;
    ::close(fd);
  }
}

TEST(DescriptorLimit, AThousandIdleConnectionsDoNotLockTheOwnerOut) {
  // systemd's default soft limit, with room above it.
  rlimit own{};
  ::getrlimit(RLIMIT_NOFILE, &own);
  if (own.rlim_max < 4096)
    GTEST_SKIP() << "hard open-file limit " << own.rlim_max;
  own.rlim_cur = own.rlim_max;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
  HelperService::Options options;
  options.spawn.open_file_soft_limit = 1024;
  HelperService service(options);
  std::vector<int> idle;
  for (int i = 0; i < 1100; ++i) {
    idle.push_back(connect_as(kOwnerUid, kOwnerGid));
    ASSERT_GE(idle.back(), 0);
  }
  // Sent after them all, so it is only answered once they are all accepted.
  const int fd = connect_with_timeout();
  send_all(fd, "GET /logs HTTP/1.1\r\n\r\n");
  EXPECT_EQ(read_response(fd),
            "HTTP/1.1 200 OK\r\ncontent-type: text/plain; charset=utf-8\r\ncache-control: "
            "no-store\r\ncontent-length: 0\r\n\r\n");
  ::close(fd);
  for (const int connection : idle)
    ::close(connection);
}

}  // namespace
}  // namespace testing_support
