#include "service/linux/service_host.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <csignal>

namespace service::linux {

namespace asio = boost::asio;

namespace {

Result<void> listen_for(asio::signal_set& signals, int number, const char* context) {
  boost::system::error_code failure;
  signals.add(number, failure);
  if (failure)
    return Error(context, Error::from_os(failure.value()));
  return {};
}

}  // namespace

asio::awaitable<Result<void>> run_service(Owner owner, runtime::Runtime& runtime) {
  (void)owner;
  // Both sets stay alive until this returns, so a further signal during the
  // stop is queued to them instead of ending the process; after that, main
  // keeps the signals blocked.
  asio::signal_set terminate_set(runtime.main_context());
  if (auto listening = listen_for(terminate_set, SIGTERM, "listen for SIGTERM"); !listening) {
    co_return listening.error();
  }
  asio::signal_set interrupt_set(runtime.main_context());
  if (auto listening = listen_for(interrupt_set, SIGINT, "listen for SIGINT"); !listening) {
    co_return listening.error();
  }
  using namespace asio::experimental::awaitable_operators;
  co_await (terminate_set.async_wait(asio::as_tuple(asio::use_awaitable)) ||
            interrupt_set.async_wait(asio::as_tuple(asio::use_awaitable)));
  co_return Result<void>{};
}

}  // namespace service::linux
