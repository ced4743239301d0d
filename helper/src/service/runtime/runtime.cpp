#include "service/runtime/runtime.hpp"

#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace service::runtime {

namespace {

// Asio reports its descriptors' failures with boost::system, threads with std.
int os_code(int value, bool from_the_system) {
  return from_the_system && value > 0 ? value : EAGAIN;
}

// Asio makes a loop's epoll and wake-up descriptors on first use: use them now.
void open_reactor(boost::asio::io_context& context) {
  boost::asio::steady_timer make_reactor(context);
}

}  // namespace

Result<std::unique_ptr<Runtime>> Runtime::create() {
  try {
    std::unique_ptr<Runtime> runtime(new Runtime());
    open_reactor(runtime->main_);
    // The signal pipe, which every later signal set shares.
    boost::asio::signal_set make_signal_pipe(runtime->main_);
    runtime->start_workers(std::max(1u, std::thread::hardware_concurrency()));
    return runtime;
  } catch (const boost::system::system_error& failure) {
    const auto& code = failure.code();
    return Error(
        "create helper runtime",
        Error::from_os(os_code(code.value(), code.category() == boost::system::system_category())));
  } catch (const std::system_error& failure) {
    const auto& code = failure.code();
    return Error(
        "create helper runtime",
        Error::from_os(os_code(code.value(), code.category() == std::generic_category() ||
                                                 code.category() == std::system_category())));
  }
}

void Runtime::start_workers(unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    auto worker = std::make_unique<Worker>();
    open_reactor(worker->context);
    worker->thread = std::thread([context = &worker->context] { context->run(); });
    workers_.push_back(std::move(worker));
  }
}

boost::asio::io_context& Runtime::next_worker() {
  return workers_[next_.fetch_add(1, std::memory_order_relaxed) % workers_.size()]->context;
}

Runtime::~Runtime() {
  for (auto& worker : workers_) {
    worker->keep_running.reset();
    worker->context.stop();
  }
  for (auto& worker : workers_) {
    if (worker->thread.joinable())
      worker->thread.join();
  }
}

}  // namespace service::runtime
