#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

using Fields = std::vector<std::pair<std::string, std::string>>;

struct H2Reply {
  int status = 0;
  Fields headers;
  std::string body;
  bool reset = false;  // the stream was reset instead of answered
};

// One HTTP/2 request with exactly `fields` (pseudo-headers included, in
// order, repeats kept) on a connected socket, by prior knowledge.
H2Reply h2_exchange(int fd, const Fields& fields, const std::string& body = "");

// `count` requests with `fields` and no body on one connection, `in_flight`
// at a time; how many were answered with 200. `answered` hears each end.
std::size_t h2_repeat(int fd, const Fields& fields, std::size_t count, std::size_t in_flight,
                      const std::function<void(std::size_t answered)>& answered = {});

}  // namespace testing_support
