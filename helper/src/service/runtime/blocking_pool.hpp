#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace service::runtime {

// Threads for work that blocks (hashing, spawning, waiting for the Core).
// It grows on demand up to `max_threads` and lets a thread go after it has
// been idle for `keep_alive`. The destructor runs what is queued and joins.
//
// Work submitted as serial runs in order, one piece at a time, on one pool
// thread: pieces that would only wait for each other's lock queue here
// instead of each holding a thread.
//
// A pool of at most 0 threads runs nothing by itself: run_queued() runs its
// work on the caller's thread, so that a test or a fuzz target can drive it
// step by step.
class BlockingPool {
 public:
  explicit BlockingPool(std::size_t max_threads = 512,
                        std::chrono::milliseconds keep_alive = std::chrono::seconds(10));
  ~BlockingPool();
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  template <class F>
  void submit(F&& work) {
    enqueue(make_task(std::forward<F>(work)));
  }

  template <class F>
  void submit_serial(F&& work) {
    enqueue_serial(make_task(std::forward<F>(work)));
  }

  std::size_t thread_count();
  // Runs what is queued, also what that queues, on this thread; how many.
  std::size_t run_queued();

 private:
  struct Task {
    virtual ~Task() = default;
    virtual void run() = 0;
  };

  template <class F>
  static std::unique_ptr<Task> make_task(F&& work) {
    struct Holder final : Task {
      explicit Holder(F&& f) : f_(std::forward<F>(f)) {}
      void run() override { f_(); }
      std::decay_t<F> f_;
    };
    return std::make_unique<Holder>(std::forward<F>(work));
  }

  void enqueue(std::unique_ptr<Task> task);
  void enqueue_serial(std::unique_ptr<Task> task);
  void run_serial();
  // With the lock held: starts a thread for the new work, or says that an
  // idle one is to be woken.
  bool wake_or_grow();
  void worker_loop(std::list<std::thread>::iterator self);
  void join_finished(std::unique_lock<std::mutex>& lock);

  const std::size_t max_threads_;
  const std::chrono::milliseconds keep_alive_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::deque<std::unique_ptr<Task>> queue_;
  std::deque<std::unique_ptr<Task>> serial_;
  bool serial_running_ = false;
  std::list<std::thread> threads_;
  std::vector<std::list<std::thread>::iterator> finished_;
  std::size_t idle_ = 0;
  bool stopping_ = false;
};

}  // namespace service::runtime
