#include "session_driver.hpp"

#include "service/http/server.hpp"
#include "service/hub/protocol.hpp"
#include "service/hub/refusals.hpp"
#include "service/hub/routes.hpp"
#include "service/runtime/blocking_pool.hpp"
#include "service/runtime/runtime.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <fcntl.h>
#include <linux/sockios.h>
#include <malloc.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVANE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KORVANE_ASAN 1
#endif
#ifdef KORVANE_ASAN
// Declared here: GCC's runtime exports it but Debian ships the header only
// with clang's.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace fuzzing {

namespace asio = boost::asio;
namespace hub = service::hub;
namespace http = service::http;

hub::CoreStep StandInCore::start(const hub::StartParams& params) const {
  return http::ExclusiveStep([params] {
    return hub::json_response(hub::StartResponse{params.sessionId, 4242}, 200);
  });
}

hub::CoreStep StandInCore::stop(const hub::StopParams& params) const {
  return hub::json_response(hub::StopResponse{params.sessionId, true, std::nullopt}, 200);
}

http::Response StandInCore::ping(const hub::PingParams& params) const {
  return hub::ping_response(
      service::Result<std::string>(boost::system::in_place_value, "stand-in " + params.coreSha256));
}

std::size_t heap_in_use() {
#ifdef KORVANE_ASAN
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

namespace {

// Counts the heads the route filter judges, for the checks of the targets.
class CountingHandler final : public http::RequestHandler {
 public:
  explicit CountingHandler(std::shared_ptr<const http::RequestHandler> inner)
      : inner_(std::move(inner)) {}
  http::HeadVerdict on_head(const http::RequestHead& head) const override {
    ++heads;
    head_requests.push_back(head.method == "HEAD");
    return inner_->on_head(head);
  }
  mutable std::size_t heads = 0;
  mutable std::vector<bool> head_requests;

 private:
  std::shared_ptr<const http::RequestHandler> inner_;
};

// Made once and reused by every input. The pool has no threads: its work
// runs on this thread between turns of the loop, so a conversation is
// played out step by step, without waiting for anything.
struct World {
  StandInCore core;
  std::shared_ptr<CountingHandler> handler = std::make_shared<CountingHandler>(hub::routes(core));
  service::runtime::BlockingPool pool{0};
  asio::io_context loop{1};
};

World& world() {
  static World* made = new World();
  return *made;
}

// The client's end: writes what is left of the input, reads what came back.
struct Client {
  int fd;
  std::string_view input;
  Conversation& out;
  std::size_t sent = 0;

  // True when a byte moved either way.
  bool exchange() {
    if (fd < 0)
      return false;
    bool moved = false;
    while (sent < input.size()) {
      const ssize_t n = ::send(fd, input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
      if (n <= 0)
        break;
      sent += static_cast<std::size_t>(n);
      moved = true;
    }
    char chunk[16384];
    while (!out.closed) {
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n > 0) {
        out.output.append(chunk, static_cast<std::size_t>(n));
        moved = true;
      } else {
        out.closed = n == 0;
        moved = moved || out.closed;
        break;
      }
    }
    return moved;
  }
};

// Until neither the loop, the pool nor the client has anything left to do.
void settle(World& w, Client& client) {
  for (;;) {
    std::size_t ran = w.loop.poll();
    ran += w.pool.run_queued();
    if (!client.exchange() && ran == 0)
      return;
  }
}

}  // namespace

Conversation converse(std::string_view input) {
  auto& w = world();
  Conversation out;
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
    return out;
  ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
  w.loop.restart();
  // The loop must not stop when a connection ends: the server's drain and
  // stop still run on it.
  auto running = asio::make_work_guard(w.loop);
  const std::size_t heads_before = w.handler->heads;
  w.handler->head_requests.clear();
  const std::size_t heap_before = heap_in_use();
  Client client{ends[0], input, out};
  {
    auto server = std::make_unique<http::HttpServer>(w.loop, w.handler, w.pool);
    service::runtime::Socket socket(w.loop.get_executor());
    boost::system::error_code failure;
    socket.assign(asio::local::stream_protocol(), ends[1], failure);
    if (failure) {
      ::close(ends[0]);
      ::close(ends[1]);
      return out;
    }
    server->serve(std::move(socket));

    // All that the helper takes of the input, and all it makes of it.
    settle(w, client);
    const std::size_t held = heap_in_use();
    out.held_bytes = held > heap_before ? held - heap_before : 0;

    // Then the stop of SIGTERM; a request still waiting for its body ends
    // when the client goes.
    auto drained = std::make_shared<bool>(false);
    server->begin_shutdown();
    asio::co_spawn(w.loop, server->wait_until_all_closed(),
                   [drained](std::exception_ptr) { *drained = true; });
    settle(w, client);
    if (!*drained) {
      ::close(ends[0]);
      client.fd = -1;
      settle(w, client);
    }
    server.reset();
    settle(w, client);
  }
  running.reset();
  if (client.fd >= 0)
    ::close(client.fd);
  out.heads = w.handler->heads - heads_before;
  out.head_requests = w.handler->head_requests;
  return out;
}

}  // namespace fuzzing
