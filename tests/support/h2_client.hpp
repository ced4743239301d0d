#pragma once

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

}  // namespace testing_support
