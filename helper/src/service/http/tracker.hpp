#pragma once

#include "service/http/drain.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace service::http {

// Whatever serves a connection at the moment: first the sniffing, then its
// protocol's session. Asked to shut down on the connection's own loop.
class Endpoint {
 public:
  virtual ~Endpoint() = default;
  virtual void shut_down() = 0;
};

// Every open connection, for the shutdown to reach, and the drain that
// counts them with the blocking work they started.
class Tracker : public std::enable_shared_from_this<Tracker> {
 public:
  explicit Tracker(boost::asio::io_context& control) : control_(control) {}

  // A connection's place, held until the last of its owners lets go.
  class Slot {
   public:
    Slot(std::shared_ptr<Tracker> tracker, std::uint64_t id, Drain::Hold hold)
        : tracker_(std::move(tracker)), id_(id), hold_(std::move(hold)) {}
    Slot(Slot&&) noexcept = default;
    Slot& operator=(Slot&&) = delete;
    Slot(const Slot&) = delete;
    ~Slot();
    // From now on the shutdown reaches `endpoint`; true once it has begun.
    bool serve_by(std::weak_ptr<Endpoint> endpoint);
    const std::shared_ptr<Drain>& drain() const { return tracker_->drain_; }

   private:
    std::shared_ptr<Tracker> tracker_;
    std::uint64_t id_;
    Drain::Hold hold_;
  };

  const std::shared_ptr<Drain>& drain() const { return drain_; }
  // A place for a connection that lives on `loop`.
  Slot open(boost::asio::io_context& loop);
  // Asks every connection to shut down; ones opened later are told when
  // they are first served.
  void begin_shutdown();
  // Calls `done` on the control loop once no connection is open and no
  // blocking work is running.
  void when_drained(std::function<void()> done);

 private:
  struct Entry {
    std::weak_ptr<Endpoint> endpoint;
    boost::asio::io_context* loop;
  };

  void shut_down(std::uint64_t id);
  void remove(std::uint64_t id);

  boost::asio::io_context& control_;
  std::shared_ptr<Drain> drain_ = std::make_shared<Drain>();
  std::mutex mutex_;
  std::unordered_map<std::uint64_t, Entry> live_;
  std::uint64_t next_id_ = 0;
  bool shutting_down_ = false;
};

}  // namespace service::http
