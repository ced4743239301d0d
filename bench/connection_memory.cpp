// What clients make the helper hold, read from its resident set:
//   connection_memory SOCKET HELPER_PID
// 1. soak: 1,000,000 requests on one HTTP/2 connection, then on one HTTP/1.1
//    connection, with the RSS every 100,000;
// 2. idle: 1,000 idle connections of each protocol (each has served one
//    request), and the RSS they add per connection;
// 3. burst: 64 connections of each protocol as fast as they go for 3 s, then
//    all closed, and the RSS a few seconds later.
// Run it as the owner against a helper of the optimised build.
#include <nghttp2/nghttp2.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string g_socket;
int g_helper = 0;

long rss_kib() {
  std::ifstream status("/proc/" + std::to_string(g_helper) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0)
      return std::stol(line.substr(6));
  }
  return -1;
}

int connect_helper() {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, g_socket.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  return fd;
}

// One HTTP/1.1 keep-alive connection, one request at a time.
class Http1Client {
 public:
  Http1Client() : fd_(connect_helper()) {}
  ~Http1Client() { ::close(fd_); }
  bool get() {
    static constexpr std::string_view kRequest = "GET /logs HTTP/1.1\r\nHost: localhost\r\n\r\n";
    if (::send(fd_, kRequest.data(), kRequest.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(kRequest.size()))
      return false;
    for (;;) {
      const auto end = buffer_.find("\r\n\r\n");
      if (end != std::string::npos) {
        const auto at = buffer_.find("content-length: ");
        const std::size_t length = std::stoul(buffer_.substr(at + 16));
        if (buffer_.size() >= end + 4 + length) {
          buffer_.erase(0, end + 4 + length);
          return true;
        }
      }
      char chunk[16384];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n <= 0)
        return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_;
  std::string buffer_;
};

// One HTTP/2 connection, `in_flight` GET /logs at a time.
class Http2Client {
 public:
  Http2Client() : fd_(connect_helper()) {
    nghttp2_session_callbacks* callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_stream_close_callback(
        callbacks, [](nghttp2_session*, std::int32_t, std::uint32_t, void* self) {
          ++static_cast<Http2Client*>(self)->answered_;
          return 0;
        });
    nghttp2_session_client_new(&session_, callbacks, this);
    nghttp2_session_callbacks_del(callbacks);
    nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, nullptr, 0);
  }
  ~Http2Client() {
    nghttp2_session_del(session_);
    ::close(fd_);
  }
  bool get(std::size_t count, std::size_t in_flight = 10) {
    static const char* names[] = {":method", ":scheme", ":path", ":authority"};
    static const char* values[] = {"GET", "http", "/logs", "localhost"};
    nghttp2_nv fields[4];
    for (int i = 0; i < 4; ++i) {
      fields[i] = {(std::uint8_t*)names[i], (std::uint8_t*)values[i], std::strlen(names[i]),
                   std::strlen(values[i]), NGHTTP2_NV_FLAG_NONE};
    }
    const std::size_t target = answered_ + count;
    std::size_t submitted = answered_;
    while (answered_ < target) {
      while (submitted < target && submitted - answered_ < in_flight) {
        nghttp2_submit_request(session_, nullptr, fields, 4, nullptr, nullptr);
        ++submitted;
      }
      const std::uint8_t* out = nullptr;
      for (ssize_t n; (n = nghttp2_session_mem_send(session_, &out)) > 0;) {
        if (::send(fd_, out, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n)
          return false;
      }
      std::uint8_t in[16384];
      const ssize_t n = ::read(fd_, in, sizeof in);
      if (n <= 0 || nghttp2_session_mem_recv(session_, in, static_cast<std::size_t>(n)) < 0)
        return false;
    }
    return true;
  }

 private:
  int fd_;
  nghttp2_session* session_ = nullptr;
  std::size_t answered_ = 0;
};

void soak() {
  std::printf("== soak: RSS (KiB) every 100,000 requests on one connection\n");
  {
    Http2Client client;
    std::printf("HTTP/2  ");
    for (int i = 0; i <= 10; ++i) {
      if (i > 0 && !client.get(100000))
        std::exit(1);
      std::printf(" %ld", rss_kib());
      std::fflush(stdout);
    }
    std::printf("\n");
  }
  {
    Http1Client client;
    std::printf("HTTP/1.1");
    for (int i = 0; i <= 10; ++i) {
      for (int j = 0; i > 0 && j < 100000; ++j) {
        if (!client.get())
          std::exit(1);
      }
      std::printf(" %ld", rss_kib());
      std::fflush(stdout);
    }
    std::printf("\n");
  }
}

void idle() {
  std::printf("== idle: 1,000 connections that have each served one request\n");
  for (const bool http2 : {false, true}) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long before = rss_kib();
    std::vector<std::unique_ptr<Http1Client>> ones;
    std::vector<std::unique_ptr<Http2Client>> twos;
    for (int i = 0; i < 1000; ++i) {
      if (http2) {
        twos.push_back(std::make_unique<Http2Client>());
        twos.back()->get(1);
      } else {
        ones.push_back(std::make_unique<Http1Client>());
        ones.back()->get();
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long after = rss_kib();
    std::printf("%s: RSS %ld -> %ld KiB, %.2f kB per idle connection\n",
                http2 ? "HTTP/2  " : "HTTP/1.1", before, after, (after - before) * 1.024 / 1000);
  }
}

void burst() {
  std::printf("== burst: 64 connections of each protocol for 3 s, then none\n");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const long before = rss_kib();
  std::atomic<bool> stop = false;
  std::atomic<long> requests = 0;
  std::vector<std::thread> clients;
  for (int i = 0; i < 128; ++i) {
    clients.emplace_back([&, http2 = i % 2 == 1] {
      if (http2) {
        Http2Client client;
        while (!stop && client.get(100))
          requests += 100;
      } else {
        Http1Client client;
        while (!stop && client.get())
          ++requests;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const long during = rss_kib();
  stop = true;
  for (auto& client : clients)
    client.join();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  std::printf("RSS %ld KiB before, %ld during (%ld requests), %ld 3 s after the last close\n",
              before, during, requests.load(), rss_kib());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: connection_memory SOCKET HELPER_PID [soak|idle|burst]\n");
    return 2;
  }
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  g_socket = argv[1];
  g_helper = std::atoi(argv[2]);
  const std::string only = argc == 4 ? argv[3] : "";
  std::printf("RSS at start: %ld KiB\n", rss_kib());
  if (only.empty() || only == "soak")
    soak();
  if (only.empty() || only == "idle")
    idle();
  if (only.empty() || only == "burst")
    burst();
  return 0;
}
