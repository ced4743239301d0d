// Arbitrary bytes from an admitted client into a fresh connection: the
// sniffing decides the protocol, then the session of that protocol and the
// real route filter (over stand-ins for the Core operations) take them.
// Besides not crashing, leaking or misbehaving under ASan and UBSan:
// - every reply parses back as well-formed HTTP of its protocol;
// - HTTP/1.1: at most one reply per request head, plus one refusal of what
//   could not be read as a head; nothing after a reply that closes the
//   connection (so bytes after a refused-and-closed request never get one);
// - HTTP/2: at most one reply per stream, none above a GOAWAY's last
//   stream, bodies as long as their Content-Length, and no more replies
//   than heads judged (431 aside, which is sent without judging);
// - once all input is read, the session holds less than kHeldBound.
#include "replies.hpp"
#include "session_driver.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
// 100 streams of 8 KiB of headers and 4 KiB of body, and room to spare.
constexpr std::size_t kHeldBound = 2 * 1024 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto talk = fuzzing::converse(input);
  if (talk.held_bytes > kHeldBound)
    std::abort();
  if (input.starts_with(kPreface)) {
    const auto replies = fuzzing::read_http2_replies(talk.output);
    if (!replies)
      std::abort();
    std::size_t judged = 0;
    for (const auto& [stream, reply] : replies->replies)
      judged += reply.status == 431 ? 0 : 1;
    if (judged > talk.heads)
      std::abort();
    return 0;
  }
  const auto replies = fuzzing::read_http1_replies(talk.output, talk.head_requests);
  if (!replies || !replies->ends_after_close)
    std::abort();
  if (replies->finals.size() > talk.heads + 1 || replies->interim > talk.heads)
    std::abort();
  return 0;
}
