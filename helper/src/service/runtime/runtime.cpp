#include "service/runtime/runtime.hpp"

#include <boost/asio/executor_work_guard.hpp>

#include <cerrno>
#include <system_error>

namespace service::runtime {

Runtime::Runtime() = default;

Result<std::unique_ptr<Runtime>> Runtime::create() {
  std::unique_ptr<Runtime> runtime(new Runtime());
  const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
  try {
    runtime->start_workers(processors);
  } catch (const std::system_error& failure) {
    const int code = failure.code().category() == std::generic_category() ||
                             failure.code().category() == std::system_category()
                         ? failure.code().value()
                         : EAGAIN;
    return Error("create helper runtime", Error::from_os(code));
  }
  return runtime;
}

void Runtime::start_workers(unsigned count) {
  keep_workers_ =
      std::make_unique<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>(
          workers_.get_executor());
  for (unsigned i = 0; i < count; ++i)
    threads_.emplace_back([this] { workers_.run(); });
}

Runtime::~Runtime() {
  keep_workers_.reset();
  workers_.stop();
  for (auto& thread : threads_)
    thread.join();
}

}  // namespace service::runtime
