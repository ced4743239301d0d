#pragma once

#include "service/http/session_context.hpp"
#include "service/http/tracker.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct nghttp2_session;

namespace service::http {

// One cleartext HTTP/2 connection. nghttp2 is only the state machine: this
// class owns the socket and does the I/O, all on the socket's loop.
//
// What a client can make it hold is bounded: at most MAX_CONCURRENT_STREAMS
// open streams, MAX_HEADER_BYTES of headers each, no streams kept once
// closed, new streams refused while MAX_UNSENT_BODY_BYTES of replies wait
// for the client, and no reading while the client does not take what is
// written to it.
class Http2Session : public Endpoint, public std::enable_shared_from_this<Http2Session> {
 public:
  static constexpr std::uint32_t MAX_CONCURRENT_STREAMS = 100;
  static constexpr std::size_t MAX_UNSENT_BODY_BYTES = 1024 * 1024;

  Http2Session(Socket socket, SessionContext context, Tracker::Slot slot);
  ~Http2Session();
  Http2Session(const Http2Session&) = delete;
  Http2Session& operator=(const Http2Session&) = delete;

  // Takes the bytes already read and starts serving, until the session
  // wants neither to read nor to write, or the connection has gone.
  void start(std::string_view received);
  // GOAWAY: take no new streams, close once the open ones are done.
  void shut_down() override;

  struct Stream;

 private:
  friend struct Http2Callbacks;

  void feed(const std::uint8_t* data, std::size_t length);
  // Writes what is queued as far as the socket takes it, reads while the
  // client keeps up, and ends the session once it is done.
  void pump();
  void flush();
  // Writes `bytes` as far as the socket takes them; false when the rest
  // waits in `pending_` for the socket, or the connection has closed.
  bool write_out(std::string_view bytes);
  void read_available();
  void close();
  // Gives back the pages of the frame buffer once nothing is being sent.
  void release_idle_buffers();

  void on_request_head(Stream& stream);
  void on_request_end(Stream& stream);
  void answer(std::int32_t stream_id, Answer answer);
  void respond(std::int32_t stream_id, Response response);
  void refuse(std::int32_t stream_id, std::uint32_t error_code);

  struct SessionDeleter {
    void operator()(nghttp2_session* session) const;
  };

  // nghttp2's blocks large enough to be mapped on their own: its 16 KiB
  // frame buffer, which an idle session does not need to keep in memory.
  struct MappedBlock {
    void* address;
    std::size_t size;
  };

  Socket socket_;
  SessionContext context_;
  Tracker::Slot slot_;
  std::vector<MappedBlock> mapped_;
  bool wrote_since_release_ = false;
  std::chrono::steady_clock::time_point released_at_{};
  std::unique_ptr<nghttp2_session, SessionDeleter> session_;
  std::list<Stream> streams_;
  // Produced by nghttp2 and not yet taken by the socket.
  std::string pending_;
  std::size_t unsent_body_bytes_ = 0;
  bool read_waiting_ = false;
  // Bytes may still wait in the socket: read on before waiting again.
  bool drain_socket_ = true;
  std::array<std::uint8_t, 256> first_read_;
  bool write_waiting_ = false;
  bool failed_ = false;
  bool closed_ = false;
};

}  // namespace service::http
