#pragma once

#include "common/error.hpp"
#include "service/runtime/blocking_pool.hpp"

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace service::runtime {

// The executor of every loop: concrete, so the hot path pays no type erasure.
using Executor = boost::asio::io_context::executor_type;
using Socket = boost::asio::basic_stream_socket<boost::asio::local::stream_protocol, Executor>;

// The helper's asynchronous runtime: a main-thread loop that drives the
// service (accept loop, signals, shutdown), one single-threaded loop per
// processor for connections, and the elastic blocking pool.
class Runtime {
 public:
  // Everything the loops need from the kernel (epoll, its wake-up
  // descriptors, the signal pipe, the threads) is made here, so a refusal is
  // "create helper runtime" and not a failure later on.
  static Result<std::unique_ptr<Runtime>> create();
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  boost::asio::io_context& main_context() { return main_; }
  // The worker loops take turns: a connection handed to one lives there for
  // its life, so it needs no strand and wakes no other thread.
  boost::asio::io_context& next_worker();
  BlockingPool& blocking_pool() { return pool_; }

 private:
  struct Worker {
    boost::asio::io_context context{1};
    boost::asio::executor_work_guard<Executor> keep_running{context.get_executor()};
    std::thread thread;
  };

  Runtime() = default;
  void start_workers(unsigned count);

  boost::asio::io_context main_{1};
  std::vector<std::unique_ptr<Worker>> workers_;
  std::atomic<std::size_t> next_ = 0;
  BlockingPool pool_;
};

}  // namespace service::runtime
