#pragma once

#include <mutex>

namespace service {

// A value that is only reached through its lock.
template <class T>
class Guarded {
 public:
  template <class... Args>
  explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}

  class Lock {
   public:
    explicit Lock(Guarded& guarded) : lock_(guarded.mutex_), value_(&guarded.value_) {}
    T& operator*() const { return *value_; }
    T* operator->() const { return value_; }

   private:
    std::unique_lock<std::mutex> lock_;
    T* value_;
  };

 private:
  std::mutex mutex_;
  T value_;
};

// Locking never fails. A holder that fails (throws) releases the lock while
// unwinding and leaves the value as it was, so the next holder just goes on.
template <class T>
typename Guarded<T>::Lock lock_surviving_poison(Guarded<T>& guarded) {
  return typename Guarded<T>::Lock(guarded);
}

}  // namespace service
