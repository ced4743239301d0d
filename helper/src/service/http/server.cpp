#include "service/http/server.hpp"

#include "service/http/http1_session.hpp"
#include "service/http/http2_session.hpp"
#include "service/http/session_context.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <malloc.h>

#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>

namespace service::http {

namespace asio = boost::asio;
namespace beast = boost::beast;

namespace {

constexpr std::string_view kHttp2Preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
constexpr std::size_t kSniffRead = 1024;

}  // namespace

class Connection;

struct HttpServer::Tracker : std::enable_shared_from_this<HttpServer::Tracker> {
  explicit Tracker(asio::io_context& control_loop) : control(control_loop), wake(control_loop) {}

  asio::io_context& control;
  asio::steady_timer wake;  // only touched on the control loop
  std::shared_ptr<Drain> drain = std::make_shared<Drain>();
  bool drained = false;  // only touched on the control loop
  std::mutex mutex;
  std::unordered_map<std::uint64_t, std::weak_ptr<Connection>> live;
  std::uint64_t next_id = 0;
  bool shutting_down = false;

  void remove(std::uint64_t id);
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Socket socket, SessionContext context, std::shared_ptr<HttpServer::Tracker> tracker,
             std::uint64_t id)
      : socket_(std::move(socket)),
        context_(std::move(context)),
        tracker_(std::move(tracker)),
        hold_(context_.drain->hold()),
        id_(id) {}

  void start() {
    asio::co_spawn(socket_.get_executor(), run(),
                   [self = shared_from_this()](std::exception_ptr) { self->finish(); });
  }

  void request_shutdown() {
    asio::post(socket_.get_executor(), [self = shared_from_this()] {
      self->shutting_down_ = true;
      if (self->http2_) {
        self->http2_->shut_down();
      } else if (self->http1_) {
        self->http1_->shut_down();
      } else {
        // Still sniffing: no request in flight.
        boost::system::error_code ignored;
        self->socket_.close(ignored);
      }
    });
  }

 private:
  void finish() {
    boost::system::error_code ignored;
    socket_.close(ignored);
    http2_.reset();
    tracker_->remove(id_);
    hold_.reset();
  }

  Awaitable<void> run() {
    boost::system::error_code failure;
    socket_.non_blocking(true, failure);
    if (failure)
      co_return;
    // Sniff: the HTTP/2 preface, compared as it arrives; the first mismatch
    // means HTTP/1.1, which gets every byte read so far.
    beast::flat_buffer received;
    for (;;) {
      const std::string_view seen(static_cast<const char*>(received.data().data()),
                                  received.size());
      const std::size_t compared = std::min(seen.size(), kHttp2Preface.size());
      if (seen.substr(0, compared) != kHttp2Preface.substr(0, compared))
        break;
      if (compared == kHttp2Preface.size()) {
        http2_ = std::make_shared<Http2Session>(std::move(socket_), context_);
        http2_->start(seen);
        received = beast::flat_buffer();
        if (shutting_down_)
          http2_->shut_down();
        co_await http2_->finished();
        co_return;
      }
      const std::size_t count = socket_.read_some(received.prepare(kSniffRead), failure);
      if (!failure) {
        if (count == 0)
          co_return;
        received.commit(count);
        continue;
      }
      if (failure != asio::error::would_block)
        co_return;
      if (received.size() == 0)
        received.shrink_to_fit();
      auto [waited] = co_await socket_.async_wait(Socket::wait_read);
      if (waited || shutting_down_)
        co_return;
    }
    http1_.emplace(socket_, context_, std::move(received));
    if (shutting_down_)
      http1_->shut_down();
    co_await http1_->run();
  }

  Socket socket_;
  SessionContext context_;
  std::shared_ptr<HttpServer::Tracker> tracker_;
  Drain::Hold hold_;
  const std::uint64_t id_;
  std::optional<Http1Session> http1_;
  std::shared_ptr<Http2Session> http2_;
  bool shutting_down_ = false;
};

void HttpServer::Tracker::remove(std::uint64_t id) {
  bool last = false;
  {
    std::lock_guard lock(mutex);
    live.erase(id);
    last = live.empty();
  }
  // glibc keeps what a burst freed in its arenas; with no connection left
  // nothing is in flight, so giving it back is cheap.
  if (last)
    asio::post(control, [] { ::malloc_trim(0); });
}

HttpServer::HttpServer(asio::io_context& control, std::shared_ptr<const RequestHandler> handler,
                       runtime::BlockingPool& pool)
    : tracker_(std::make_shared<Tracker>(control)), handler_(std::move(handler)), pool_(pool) {}

HttpServer::~HttpServer() = default;

void HttpServer::serve(runtime::Socket socket) {
  std::shared_ptr<Connection> connection;
  bool shutting_down = false;
  {
    std::lock_guard lock(tracker_->mutex);
    const std::uint64_t id = tracker_->next_id++;
    connection = std::make_shared<Connection>(
        Socket(std::move(socket)), SessionContext{*handler_, pool_, tracker_->drain}, tracker_, id);
    tracker_->live.emplace(id, connection);
    shutting_down = tracker_->shutting_down;
  }
  connection->start();
  if (shutting_down)
    connection->request_shutdown();
}

void HttpServer::begin_shutdown() {
  std::vector<std::shared_ptr<Connection>> open;
  {
    std::lock_guard lock(tracker_->mutex);
    tracker_->shutting_down = true;
    for (auto& [id, connection] : tracker_->live) {
      if (auto alive = connection.lock())
        open.push_back(std::move(alive));
    }
  }
  for (auto& connection : open)
    connection->request_shutdown();
}

asio::awaitable<void> HttpServer::wait_until_all_closed() {
  auto tracker = tracker_;
  tracker->wake.expires_at(asio::steady_timer::time_point::max());
  tracker->drain->when_empty([tracker] {
    asio::post(tracker->control, [tracker] {
      tracker->drained = true;
      tracker->wake.cancel();
    });
  });
  while (!tracker->drained)
    co_await tracker->wake.async_wait(asio::as_tuple(asio::use_awaitable));
}

}  // namespace service::http
