#include "service/http/server.hpp"

#include "service/http/http1_session.hpp"
#include "service/http/http2_session.hpp"
#include "service/http/session_context.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <string_view>

namespace service::http {

namespace asio = boost::asio;
namespace beast = boost::beast;

namespace {

constexpr std::string_view kHttp2Preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
constexpr std::size_t kSniffRead = 1024;

// A new connection until its first bytes tell the protocol: the HTTP/2
// preface, compared as it arrives; the first mismatch means HTTP/1.1, which
// gets every byte read so far. No request is in flight meanwhile.
class Sniffer : public Endpoint, public std::enable_shared_from_this<Sniffer> {
 public:
  Sniffer(Socket socket, SessionContext context, Tracker::Slot slot)
      : socket_(std::move(socket)), context_(std::move(context)), slot_(std::move(slot)) {}

  void start() {
    boost::system::error_code failure;
    socket_.non_blocking(true, failure);
    if (slot_.serve_by(weak_from_this()) || failure) {
      shut_down();
      return;
    }
    read();
  }

  void shut_down() override {
    boost::system::error_code ignored;
    socket_.close(ignored);
  }

 private:
  void read() {
    for (;;) {
      const std::string_view seen(static_cast<const char*>(received_.data().data()),
                                  received_.size());
      const std::size_t compared = std::min(seen.size(), kHttp2Preface.size());
      if (seen.substr(0, compared) != kHttp2Preface.substr(0, compared)) {
        std::make_shared<Http1Session>(std::move(socket_), std::move(context_), std::move(slot_),
                                       std::move(received_))
            ->start();
        return;
      }
      if (compared == kHttp2Preface.size()) {
        std::make_shared<Http2Session>(std::move(socket_), std::move(context_), std::move(slot_))
            ->start(seen);
        return;
      }
      boost::system::error_code failure;
      const std::size_t count = socket_.read_some(received_.prepare(kSniffRead), failure);
      if (!failure && count > 0) {
        received_.commit(count);
        continue;
      }
      if (failure != asio::error::would_block)
        return;  // gone before it said anything
      if (received_.size() == 0)
        received_.shrink_to_fit();
      socket_.async_wait(Socket::wait_read,
                         [self = shared_from_this()](boost::system::error_code waited) {
                           if (!waited)
                             self->read();
                         });
      return;
    }
  }

  Socket socket_;
  SessionContext context_;
  Tracker::Slot slot_;
  beast::flat_buffer received_;
};

}  // namespace

// Set on the control loop once the drain is complete.
struct HttpServer::Drained {
  explicit Drained(asio::io_context& control) : wake(control) {
    wake.expires_at(asio::steady_timer::time_point::max());
  }
  asio::steady_timer wake;
  bool done = false;
};

HttpServer::HttpServer(asio::io_context& control, std::shared_ptr<const RequestHandler> handler,
                       runtime::BlockingPool& pool)
    : tracker_(std::make_shared<Tracker>(control)),
      drained_(std::make_shared<Drained>(control)),
      handler_(std::move(handler)),
      pool_(pool) {}

HttpServer::~HttpServer() = default;

void HttpServer::serve(runtime::Socket socket) {
  auto& loop = static_cast<asio::io_context&>(socket.get_executor().context());
  auto sniffer = std::make_shared<Sniffer>(Socket(std::move(socket)),
                                           SessionContext{*handler_, pool_, tracker_->drain()},
                                           tracker_->open(loop));
  asio::post(loop, [sniffer = std::move(sniffer)] { sniffer->start(); });
}

void HttpServer::begin_shutdown() {
  tracker_->begin_shutdown();
}

asio::awaitable<void> HttpServer::wait_until_all_closed() {
  auto drained = drained_;
  tracker_->when_drained([drained] {
    drained->done = true;
    drained->wake.cancel();
  });
  while (!drained->done)
    co_await drained->wake.async_wait(asio::as_tuple(asio::use_awaitable));
}

}  // namespace service::http
