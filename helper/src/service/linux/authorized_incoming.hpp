#pragma once

#include "common/error.hpp"
#include "common/unique_fd.hpp"
#include "service/linux/owner_ids.hpp"

#include <boost/asio/any_io_executor.hpp>
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

  // The next admitted connection, served on a new strand of `workers`;
  // empty once accepting has been cancelled.
  boost::asio::awaitable<std::optional<boost::asio::local::stream_protocol::socket>> next(
      boost::asio::any_io_executor workers);
  // Closes the listening socket: later connects are refused.
  void close();

 private:
  AuthorizedIncoming(boost::asio::io_context& context, Owner owner);

  boost::asio::local::stream_protocol::acceptor listener_;
  Owner owner_;
  boost::asio::steady_timer backoff_;
};

}  // namespace service::linux
