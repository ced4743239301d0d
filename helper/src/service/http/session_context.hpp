#pragma once

#include "service/http/drain.hpp"
#include "service/http/message.hpp"
#include "service/runtime/blocking_pool.hpp"
#include "service/runtime/runtime.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <memory>

namespace service::http {

using Executor = runtime::Executor;
template <class T>
using Awaitable = boost::asio::awaitable<T, Executor>;
// Every asynchronous call on it yields its error code instead of throwing.
using Token = boost::asio::as_tuple_t<boost::asio::use_awaitable_t<Executor>>;
using Socket = Token::as_default_on_t<runtime::Socket>;

// What every session shares: the one handler, the blocking pool and the
// shutdown's count of what it waits for.
struct SessionContext {
  const RequestHandler& handler;
  runtime::BlockingPool& pool;
  std::shared_ptr<Drain> drain;
};

// Limits every session keeps, so that no client makes the helper hold more.
inline constexpr std::size_t MAX_HEADER_BYTES = 8 * 1024;
// Bytes of a body the route did not ask for that are read and dropped; past
// them the connection closes after its reply.
inline constexpr std::size_t MAX_DISCARDED_BODY = 1024 * 1024;

}  // namespace service::http
