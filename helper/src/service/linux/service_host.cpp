#include "service/linux/service_host.hpp"

#include "service/http/server.hpp"
#include "service/hub/core_registry.hpp"
#include "service/hub/log_buffer.hpp"
#include "service/hub/routes.hpp"
#include "service/linux/authorized_incoming.hpp"
#include "service/linux/listener.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <pthread.h>

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

// Completes on the first SIGTERM or SIGINT, also one that came before the wait.
asio::awaitable<void> shutdown_trigger(asio::signal_set& terminate, asio::signal_set& interrupt) {
  using namespace asio::experimental::awaitable_operators;
  co_await (terminate.async_wait(asio::as_tuple(asio::use_awaitable)) ||
            interrupt.async_wait(asio::as_tuple(asio::use_awaitable)));
}

asio::awaitable<void> accept_connections(AuthorizedIncoming& incoming, http::HttpServer& server,
                                         runtime::Runtime& runtime) {
  while (auto connection = co_await incoming.next(runtime.next_worker()))
    server.serve(std::move(*connection));
}

}  // namespace

sigset_t shutdown_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  return signals;
}

asio::awaitable<Result<void>> run_service(Owner owner, runtime::Runtime& runtime) {
  asio::signal_set terminate(runtime.main_context());
  if (auto listening = listen_for(terminate, SIGTERM, "listen for SIGTERM"); !listening) {
    co_return listening.error();
  }
  asio::signal_set interrupt(runtime.main_context());
  if (auto listening = listen_for(interrupt, SIGINT, "listen for SIGINT"); !listening) {
    co_return listening.error();
  }
  auto listener = set_up_listener();
  if (!listener)
    co_return listener.error();
  auto incoming = AuthorizedIncoming::create(runtime.main_context(), std::move(*listener), owner);
  if (!incoming)
    co_return incoming.error();

  http::HttpServer server(runtime.main_context(), hub::routes(), runtime.blocking_pool());
  {
    using namespace asio::experimental::awaitable_operators;
    co_await (accept_connections(**incoming, server, runtime) ||
              shutdown_trigger(terminate, interrupt));
  }
  // The trigger has fired for good. Later signals stay blocked and pending on
  // this thread (the only one that takes them), so they change nothing, also
  // once the sets are gone and the signals' default actions are back.
  const sigset_t signals = shutdown_signals();
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  (*incoming)->close();
  server.begin_shutdown();
  co_await server.wait_until_all_closed();

  auto registry = lock_surviving_poison(hub::MANAGED_CORE());
  if (auto released = hub::release_managed_core(*registry); !released) {
    hub::log_message("Helper could not stop the managed Core on shutdown: " +
                     released.error().message());
  }
  co_return Result<void>{};
}

}  // namespace service::linux
