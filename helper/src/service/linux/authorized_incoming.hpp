#pragma once

#include "common/error.hpp"
#include "common/unique_fd.hpp"
#include "service/linux/owner_ids.hpp"
#include "service/runtime/runtime.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>

#include <memory>
#include <optional>

namespace service::linux {

// The connections of the listening socket whose peers run as the owner.
// Everyone else is closed unread and unanswered; accept failures are logged
// and pause accepting for a second.
class AuthorizedIncoming {
 public:
  // Registers the listener with the reactor ("bind {path}" on failure).
  static Result<std::unique_ptr<AuthorizedIncoming>> create(boost::asio::io_context& context,
                                                            UniqueFd listener, Owner owner);

  // The next admitted connection, registered with `loop`; empty once
  // accepting has been cancelled.
  boost::asio::awaitable<std::optional<runtime::Socket>> next(boost::asio::io_context& loop);
  // Closes the listening socket: later connects are refused.
  void close();

 private:
  AuthorizedIncoming(boost::asio::io_context& context, Owner owner);
  // Logs the failure and pauses accepting for a second; false when cancelled.
  boost::asio::awaitable<bool> back_off(int code);

  boost::asio::local::stream_protocol::acceptor listener_;
  Owner owner_;
  boost::asio::steady_timer backoff_;
};

}  // namespace service::linux
