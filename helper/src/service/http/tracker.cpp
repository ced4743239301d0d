#include "service/http/tracker.hpp"

#include <boost/asio/post.hpp>

#include <malloc.h>

#include <utility>
#include <vector>

namespace service::http {

Tracker::Slot::~Slot() {
  if (tracker_)
    tracker_->remove(id_);
}

bool Tracker::Slot::serve_by(std::weak_ptr<Endpoint> endpoint) {
  std::lock_guard lock(tracker_->mutex_);
  if (auto found = tracker_->live_.find(id_); found != tracker_->live_.end())
    found->second.endpoint = std::move(endpoint);
  return tracker_->shutting_down_;
}

Tracker::Slot Tracker::open(boost::asio::io_context& loop) {
  std::lock_guard lock(mutex_);
  const std::uint64_t id = next_id_++;
  live_.emplace(id, Entry{{}, &loop});
  return Slot(shared_from_this(), id, drain_->hold());
}

void Tracker::begin_shutdown() {
  std::vector<std::pair<std::uint64_t, boost::asio::io_context*>> open;
  {
    std::lock_guard lock(mutex_);
    shutting_down_ = true;
    for (const auto& [id, entry] : live_)
      open.emplace_back(id, entry.loop);
  }
  // Looked up again on the connection's loop: by then another endpoint may
  // serve it.
  for (const auto& [id, loop] : open)
    boost::asio::post(*loop, [self = shared_from_this(), id = id] { self->shut_down(id); });
}

void Tracker::shut_down(std::uint64_t id) {
  std::shared_ptr<Endpoint> endpoint;
  {
    std::lock_guard lock(mutex_);
    if (auto found = live_.find(id); found != live_.end())
      endpoint = found->second.endpoint.lock();
  }
  if (endpoint)
    endpoint->shut_down();
}

void Tracker::remove(std::uint64_t id) {
  bool last = false;
  {
    std::lock_guard lock(mutex_);
    live_.erase(id);
    last = live_.empty();
  }
  // glibc keeps what a burst freed in its arenas; with no connection left
  // nothing is in flight, so giving it back is cheap.
  if (last)
    boost::asio::post(control_, [] { ::malloc_trim(0); });
}

void Tracker::when_drained(std::function<void()> done) {
  drain_->when_empty([this, self = shared_from_this(), done = std::move(done)]() mutable {
    boost::asio::post(control_, std::move(done));
  });
}

}  // namespace service::http
