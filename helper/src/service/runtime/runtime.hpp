#pragma once

#include "common/error.hpp"
#include "service/runtime/blocking_pool.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/io_context.hpp>

#include <memory>
#include <thread>
#include <vector>

namespace service::runtime {

// The helper's asynchronous runtime: a main-thread context that drives the
// service (accept loop, signals, shutdown), one worker thread per processor
// for connections, and the elastic blocking pool.
class Runtime {
 public:
  static Result<std::unique_ptr<Runtime>> create();
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  boost::asio::io_context& main_context() { return main_; }
  boost::asio::any_io_executor worker_executor() { return workers_.get_executor(); }
  BlockingPool& blocking_pool() { return pool_; }

 private:
  Runtime();
  void start_workers(unsigned count);

  boost::asio::io_context main_{1};
  boost::asio::io_context workers_;
  std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>
      keep_workers_;
  std::vector<std::thread> threads_;
  BlockingPool pool_;
};

}  // namespace service::runtime
