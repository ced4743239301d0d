#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testing_support {

// Raw HTTP/2, for clients that do what a well-behaved one would not.
namespace h2 {

inline constexpr std::uint8_t DATA = 0, HEADERS = 1, RST_STREAM = 3, SETTINGS = 4, GOAWAY = 7,
                              CONTINUATION = 9;
inline constexpr std::uint8_t END_STREAM = 1, END_HEADERS = 4, ACK = 1;

std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                  std::string_view payload);
// The client preface and an empty SETTINGS frame.
std::string preface();

// HPACK pieces without Huffman coding.
std::string indexed(unsigned index);
std::string literal(std::string_view name, std::string_view value, bool add_to_table = false);
// A request head: GET or POST (from the static table), :scheme http, a
// literal :path, then the given fields.
std::string request_block(bool post, std::string_view path,
                          const std::vector<std::pair<std::string, std::string>>& fields = {});

struct Frame {
  std::uint8_t type = 0;
  std::uint8_t flags = 0;
  std::uint32_t stream = 0;
  std::string payload;
  std::uint32_t error_code() const;  // of RST_STREAM or GOAWAY
};

// Reads the server's frames from a socket, and its reply heads with an HPACK
// decoder of its own.
class Reader {
 public:
  explicit Reader(int fd);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The next frame, or nothing once the server has closed.
  std::optional<Frame> next();
  // The :status of a HEADERS frame (0 when it has none).
  int status(const Frame& headers);

 private:
  int fd_;
  std::string buffer_;
  void* inflater_ = nullptr;
};

}  // namespace h2

// The helper's resident memory, in bytes.
std::size_t resident_bytes(int pid);

}  // namespace testing_support
