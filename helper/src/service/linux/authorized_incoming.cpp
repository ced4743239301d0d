#include "service/linux/authorized_incoming.hpp"

#include "common/os_error.hpp"
#include "service/hub/log_buffer.hpp"
#include "service/linux/listener.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <sys/socket.h>

#include <chrono>
#include <optional>

namespace service::linux {

namespace asio = boost::asio;

namespace {

bool peer_is_owner(int connection, std::uint32_t owner_uid) {
  ucred credentials{};
  socklen_t length = sizeof credentials;
  return ::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
         length == sizeof credentials && credentials.uid == owner_uid;
}

}  // namespace

AuthorizedIncoming::AuthorizedIncoming(asio::io_context& context, Owner owner)
    : listener_(context), owner_(owner), backoff_(context) {}

Result<std::unique_ptr<AuthorizedIncoming>> AuthorizedIncoming::create(asio::io_context& context,
                                                                       UniqueFd listener,
                                                                       Owner owner) {
  std::unique_ptr<AuthorizedIncoming> incoming(new AuthorizedIncoming(context, owner));
  boost::system::error_code failure;
  incoming->listener_.assign(asio::local::stream_protocol(), listener.get(), failure);
  if (failure) {
    return Error::from_os(failure.value()).context(std::string("bind ") + SOCKET_PATH);
  }
  listener.release();
  return incoming;
}

asio::awaitable<bool> AuthorizedIncoming::back_off(int code) {
  hub::log_message("Helper could not accept a connection: " + os_error_text(code));
  backoff_.expires_after(std::chrono::seconds(1));
  auto [failure] = co_await backoff_.async_wait(asio::as_tuple(asio::use_awaitable));
  co_return failure != asio::error::operation_aborted;
}

asio::awaitable<std::optional<runtime::Socket>> AuthorizedIncoming::next(asio::io_context& loop) {
  for (;;) {
    const int accepted =
        ::accept4(listener_.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        auto [failure] = co_await listener_.async_wait(asio::socket_base::wait_read,
                                                       asio::as_tuple(asio::use_awaitable));
        if (failure == asio::error::operation_aborted)
          co_return std::nullopt;
        continue;
      }
      if (!co_await back_off(errno))
        co_return std::nullopt;
      continue;
    }
    UniqueFd connection(accepted);
    if (!peer_is_owner(connection.get(), owner_.uid))
      continue;  // closed unread
    runtime::Socket socket(loop.get_executor());
    boost::system::error_code failure;
    socket.assign(asio::local::stream_protocol(), connection.get(), failure);
    if (failure) {
      // Closed before the pause, not held through it.
      connection.reset();
      if (!co_await back_off(failure.value()))
        co_return std::nullopt;
      continue;
    }
    connection.release();
    co_return socket;
  }
}

void AuthorizedIncoming::close() {
  boost::system::error_code ignored;
  backoff_.cancel();
  listener_.close(ignored);
}

}  // namespace service::linux
