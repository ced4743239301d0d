#include "service/runtime/blocking_pool.hpp"

namespace service::runtime {

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds keep_alive)
    : max_threads_(max_threads), keep_alive_(keep_alive) {}

BlockingPool::~BlockingPool() {
  std::list<std::thread> threads;
  {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    work_ready_.notify_all();
    join_finished(lock);
    threads.swap(threads_);
  }
  for (auto& thread : threads)
    thread.join();
}

std::size_t BlockingPool::thread_count() {
  std::unique_lock lock(mutex_);
  return threads_.size() - finished_.size();
}

std::size_t BlockingPool::run_queued() {
  std::size_t ran = 0;
  for (;;) {
    std::unique_ptr<Task> task;
    {
      std::unique_lock lock(mutex_);
      if (queue_.empty())
        return ran;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task->run();
    ++ran;
  }
}

void BlockingPool::enqueue(std::unique_ptr<Task> task) {
  std::unique_lock lock(mutex_);
  join_finished(lock);
  queue_.push_back(std::move(task));
  bool wake = false;
  try {
    wake = wake_or_grow();
  } catch (...) {
    queue_.pop_back();
    throw;
  }
  // Woken after the lock is let go, so the thread does not wake only to wait for it.
  lock.unlock();
  if (wake)
    work_ready_.notify_one();
}

void BlockingPool::enqueue_serial(std::unique_ptr<Task> task) {
  std::unique_lock lock(mutex_);
  join_finished(lock);
  serial_.push_back(std::move(task));
  if (serial_running_)
    return;
  queue_.push_back(make_task([this] { run_serial(); }));
  bool wake = false;
  try {
    wake = wake_or_grow();
  } catch (...) {
    queue_.pop_back();
    serial_.pop_back();
    throw;
  }
  serial_running_ = true;
  lock.unlock();
  if (wake)
    work_ready_.notify_one();
}

bool BlockingPool::wake_or_grow() {
  if (idle_ >= queue_.size() || threads_.size() >= max_threads_)
    return max_threads_ > 0;
  // std::thread throws when the system refuses a thread; the queued work then
  // waits for a running thread, and the caller learns nothing went wrong.
  try {
    threads_.emplace_back();
    auto self = std::prev(threads_.end());
    *self = std::thread([this, self] { worker_loop(self); });
  } catch (const std::system_error&) {
    threads_.pop_back();
    if (threads_.empty())
      throw;
  }
  return false;
}

void BlockingPool::run_serial() {
  for (;;) {
    std::unique_ptr<Task> task;
    {
      std::unique_lock lock(mutex_);
      if (serial_.empty()) {
        serial_running_ = false;
        return;
      }
      task = std::move(serial_.front());
      serial_.pop_front();
    }
    task->run();
  }
}

void BlockingPool::worker_loop(std::list<std::thread>::iterator self) {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!queue_.empty()) {
      auto task = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      task->run();
      task.reset();
      lock.lock();
      continue;
    }
    if (stopping_)
      return;
    ++idle_;
    const bool woken =
        work_ready_.wait_for(lock, keep_alive_, [this] { return stopping_ || !queue_.empty(); });
    --idle_;
    if (!woken) {
      // Idle too long: leave, and let the next caller join this thread.
      finished_.push_back(self);
      return;
    }
  }
}

void BlockingPool::join_finished(std::unique_lock<std::mutex>& lock) {
  while (!finished_.empty()) {
    auto done = finished_.back();
    finished_.pop_back();
    std::thread thread = std::move(*done);
    threads_.erase(done);
    lock.unlock();
    thread.join();
    lock.lock();
  }
}

}  // namespace service::runtime
