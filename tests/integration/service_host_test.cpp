#include "support/helper_sandbox.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

namespace testing_support {
namespace {

bool exited_zero(int status) {
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Listener, SocketFileIsTheOwnersGroupsAndReplacesAStaleOne) {
  // Something left from an earlier run.
  ::close(::open(kSocketPath, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
  HelperService service;
  struct stat status {};
  ASSERT_EQ(::lstat(kSocketPath, &status), 0);
  EXPECT_TRUE(S_ISSOCK(status.st_mode));
  EXPECT_EQ(status.st_mode & 07777, 0660u);
  EXPECT_EQ(status.st_uid, 0u);
  EXPECT_EQ(status.st_gid, kOwnerGid);
  EXPECT_TRUE(exited_zero(service.stop()));
  // The file stays behind for the next start to replace.
  EXPECT_EQ(::lstat(kSocketPath, &status), 0);
}

TEST(Listener, SetUpFailuresNameTheStepAndThePath) {
  struct Case {
    const char* name;
    void (*prepare)();
    void (*undo)();
    std::string err;
  };
  const Case cases[] = {
      {"directory",
       [] {
         ::unlink(kSocketPath);
         ::mkdir(kSocketPath, 0755);
       },
       [] { ::rmdir(kSocketPath); },
       "Error: remove stale /run/korvane-vesk/helper.sock\n\nCaused by:\n    Is a directory (os "
       "error 21)\n"},
      {"no runtime directory",
       [] {
         ::unlink(kSocketPath);
         ::rmdir("/run/korvane-vesk");
       },
       [] { ::mkdir("/run/korvane-vesk", 0755); },
       "Error: bind /run/korvane-vesk/helper.sock\n\nCaused by:\n    No such file or directory "
       "(os error 2)\n"},
      {"dangling link",
       [] {
         ::unlink(kSocketPath);
         ASSERT_EQ(::symlink("/run/nowhere", kSocketPath), 0);
       },
       [] { ::unlink(kSocketPath); },
       "Error: bind /run/korvane-vesk/helper.sock\n\nCaused by:\n    Address already in use (os "
       "error 98)\n"},
  };
  for (const auto& c : cases) {
    c.prepare();
    HelperService service(
        HelperService::Options{.open_file_limit = std::nullopt, .wait_until_ready = false});
    const auto status = service.wait_for(20);
    ASSERT_TRUE(status) << c.name;
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << c.name;
    EXPECT_EQ(service.stderr_text(), c.err) << c.name;
    c.undo();
  }
}

TEST(Admission, ForeignPeersAreClosedWithoutAByte) {
  HelperService service;
  const std::string request = "GET /logs HTTP/1.1\r\nHost: localhost\r\n\r\n";
  for (auto [uid, gid] : {std::pair<uid_t, gid_t>{kStrangerUid, kOwnerGid}, {0, 0}}) {
    const int fd = connect_as(uid, gid);
    ASSERT_GE(fd, 0) << uid;
    send_all(fd, request);
    EXPECT_EQ(read_to_end(fd), "") << uid;
    ::close(fd);
  }
  // A burst of strangers, then the owner queued behind them.
  std::vector<int> strangers;
  for (int i = 0; i < 100; ++i)
    strangers.push_back(connect_as(kStrangerUid, kOwnerGid));
  const int owner = connect_as(kOwnerUid, kOwnerGid);
  ASSERT_GE(owner, 0);
  send_all(owner, request);
  EXPECT_EQ(read_response(owner).substr(0, 15), "HTTP/1.1 200 OK");
  for (int fd : strangers) {
    EXPECT_EQ(read_to_end(fd), "");
    ::close(fd);
  }
  ::close(owner);
  EXPECT_EQ(logs(), "");
}

TEST(Serving, CurlOverBothProtocolsOnOneKeepAliveConnection) {
  HelperService service;
  const auto h1 = curl({"-i", "http://localhost/logs", "http://localhost/nothing"});
  EXPECT_EQ(h1.out,
            "HTTP/1.1 200 OK\r\ncontent-type: text/plain; charset=utf-8\r\ncache-control: "
            "no-store\r\ncontent-length: 0\r\n\r\n"
            "HTTP/1.1 404 Not Found\r\ncontent-type: application/json\r\ncontent-length: "
            "57\r\n\r\n{\"code\":\"notFound\",\"message\":\"Helper endpoint not found\"}");
  EXPECT_EQ(h1.err, "");
  const auto logs2 = curl({"-i", "--http2-prior-knowledge", "http://localhost/logs"});
  EXPECT_EQ(logs2.out,
            "HTTP/2 200 \r\ncontent-type: text/plain; charset=utf-8\r\ncache-control: "
            "no-store\r\ncontent-length: 0\r\n\r\n");
  const auto missing = curl({"-i", "--http2-prior-knowledge", "http://localhost/nothing"});
  EXPECT_EQ(missing.out,
            "HTTP/2 404 \r\ncontent-type: application/json\r\ncontent-length: 57\r\n\r\n"
            "{\"code\":\"notFound\",\"message\":\"Helper endpoint not found\"}");
}

TEST(Shutdown, IdleConnectionsCloseAndLaterConnectsAreRefused) {
  HelperService service;
  const int idle = connect_as(kOwnerUid, kOwnerGid);
  send_all(idle, "GET /logs HTTP/1.1\r\nHost: localhost\r\n\r\n");
  ASSERT_EQ(read_response(idle).substr(0, 15), "HTTP/1.1 200 OK");
  ::kill(service.pid(), SIGTERM);
  EXPECT_EQ(read_to_end(idle), "");
  ::close(idle);
  const auto status = service.wait_for(20);
  ASSERT_TRUE(status);
  EXPECT_TRUE(exited_zero(*status));
}

TEST(Shutdown, InFlightRequestIsAnsweredAndFurtherSignalsChangeNothing) {
  HelperService service;
  const std::string body = R"({"sessionId":"0123456789abcdef0123456789abcdef"})";
  const int busy = connect_as(kOwnerUid, kOwnerGid);
  send_all(busy, "POST /stop HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n" + body.substr(0, 10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ::kill(service.pid(), SIGTERM);
  // The listening socket is gone at once, although its file stays.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int late = -1;
  while ((late = connect_as(kOwnerUid, kOwnerGid)) >= 0 &&
         std::chrono::steady_clock::now() < deadline) {
    ::close(late);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(late, -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  ::kill(service.pid(), SIGTERM);
  ::kill(service.pid(), SIGINT);
  EXPECT_FALSE(service.wait_for(0.3)) << "the drain waits for the request";
  send_all(busy, body.substr(10));
  EXPECT_EQ(
      read_to_end(busy),
      "HTTP/1.1 200 OK\r\ncontent-type: application/json\r\nconnection: "
      "close\r\ncontent-length: 86\r\n\r\n"
      R"({"sessionId":"0123456789abcdef0123456789abcdef","stopped":false,"reason":"notRunning"})");
  ::close(busy);
  const auto status = service.wait_for(20);
  ASSERT_TRUE(status);
  EXPECT_TRUE(exited_zero(*status));
}

TEST(Shutdown, AConnectionAnsweredBeforeItsBodyClosesInsteadOfWaitingForIt) {
  HelperService service;
  // Refused at its head; the 100 body bytes it promised never come.
  const int early = connect_as(kOwnerUid, kOwnerGid);
  send_all(early, "POST /logs HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100\r\n\r\n");
  ASSERT_EQ(read_response(early).substr(0, 31), "HTTP/1.1 405 Method Not Allowed");
  ::kill(service.pid(), SIGTERM);
  const auto status = service.wait_for(20);
  ASSERT_TRUE(status) << "the helper waited for a body after its reply";
  EXPECT_TRUE(exited_zero(*status));
  EXPECT_EQ(read_to_end(early), "");
  ::close(early);
}

// True once `pid` has exited, whether or not it was collected yet.
bool has_exited(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
         info.si_pid == pid;
}

TEST(Shutdown, SignalsUntilTheVeryEndStillGiveACleanExit) {
  HelperService service;
  // SIGTERM without pause until the process is gone: none of them, however
  // late, may end the stop with the signal's default action.
  while (!has_exited(service.pid())) {
    ::kill(service.pid(), SIGTERM);
    std::this_thread::sleep_for(std::chrono::microseconds(20));
  }
  const auto status = service.wait_for(20);
  ASSERT_TRUE(status);
  EXPECT_TRUE(exited_zero(*status)) << "wait status " << *status;
}

TEST(Shutdown, HalfAnHttp2PrefaceIsClosedLikeAnIdleConnection) {
  HelperService service;
  // A client that sent half the preface has no request in flight.
  const int partial = connect_as(kOwnerUid, kOwnerGid);
  send_all(partial, "PRI * HTTP/2.0\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto status = service.stop(SIGINT);
  EXPECT_TRUE(exited_zero(status));
  EXPECT_EQ(read_to_end(partial), "");
  ::close(partial);
}

TEST(Framing, UntrustworthyFramingIsRefusedAndNeverReadAsARequest) {
  HelperService service;
  const std::string smuggled = "GET /logs HTTP/1.1\r\nHost: localhost\r\n\r\n";
  const std::string refusal =
      "HTTP/1.1 400 Bad Request\r\nconnection: close\r\ncontent-length: 0\r\n\r\n";
  const std::string heads[] = {
      "Transfer-Encoding: chunked, gzip\r\n",
      "Transfer-Encoding: identity\r\n",
      "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n",
      "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n",
      "Content-Length: 5\r\nContent-Length: 6\r\n",
      "Content-Length: +5\r\n",
  };
  for (const auto& head : heads) {
    const int fd = connect_as(kOwnerUid, kOwnerGid);
    send_all(fd, "POST /nothing HTTP/1.1\r\nHost: localhost\r\n" + head + "\r\n" + smuggled);
    EXPECT_EQ(read_to_end(fd), refusal) << head;
    ::close(fd);
  }
}

TEST(Framing, BodyOfARequestRefusedEarlyIsDroppedNotParsed) {
  HelperService service;
  const std::string inner = "GET /logs HTTP/1.1\r\nHost: localhost\r\n\r\n";
  const int fd = connect_as(kOwnerUid, kOwnerGid);
  send_all(fd, "POST /nothing HTTP/1.1\r\nHost: localhost\r\nContent-Length: " +
                   std::to_string(inner.size()) + "\r\n\r\n" + inner);
  EXPECT_EQ(read_response(fd).substr(0, 22), "HTTP/1.1 404 Not Found");
  send_all(fd, "POST /start HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n" +
                   std::string("27\r\n") + inner + "\r\n0\r\n\r\n");
  EXPECT_EQ(read_response(fd).substr(0, 28), "HTTP/1.1 411 Length Required");
  send_all(fd, "GET /nothing HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
  const std::string rest = read_to_end(fd);
  EXPECT_EQ(rest.substr(0, 22), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(rest.find("HTTP/1.1", 1), std::string::npos) << rest;
  ::close(fd);
}

TEST(Framing, AClientThatExpectsContinueIsToldToSendItsBody) {
  HelperService service;
  const std::string body = R"({"sessionId":"0123456789abcdef0123456789abcdef"})";
  const int fd = connect_as(kOwnerUid, kOwnerGid);
  send_all(fd, "POST /stop HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n");
  std::string interim(25, '\0');
  ASSERT_EQ(::read(fd, interim.data(), interim.size()), 25);
  EXPECT_EQ(interim, "HTTP/1.1 100 Continue\r\n\r\n");
  send_all(fd, body);
  EXPECT_EQ(read_response(fd).substr(0, 15), "HTTP/1.1 200 OK");
  ::close(fd);
  // Refused before its body: no interim reply, and the connection closes.
  const int refused = connect_as(kOwnerUid, kOwnerGid);
  send_all(refused, "POST /nothing HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
  const std::string reply = read_to_end(refused);
  EXPECT_EQ(reply.substr(0, 22), "HTTP/1.1 404 Not Found");
  EXPECT_NE(reply.find("connection: close"), std::string::npos);
  ::close(refused);
}

TEST(Accepting, RunningOutOfDescriptorsIsLoggedAboutOnceASecond) {
  HelperService service(HelperService::Options{.open_file_limit = 32, .wait_until_ready = true});
  // More clients than descriptors, held for a while.
  std::vector<int> clients;
  for (int i = 0; i < 48; ++i)
    clients.push_back(connect_as(kOwnerUid, kOwnerGid));
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  for (int fd : clients)
    ::close(fd);
  // Serving again once descriptors are free.
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((text = logs()).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  int lines = 0;
  for (std::size_t at = 0; (at = text.find("Helper could not accept a connection: Too many open "
                                           "files (os error 24)",
                                           at)) != std::string::npos;
       ++at) {
    ++lines;
  }
  EXPECT_GE(lines, 1) << text << service.stderr_text();
  EXPECT_LE(lines, 6) << text;
}

}  // namespace
}  // namespace testing_support
