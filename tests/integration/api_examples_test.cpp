// Every curl example of docs/api.md, run in the page's order against the
// helper as the owner would, answers the status the page states next to it.
#include "support/helper_sandbox.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {
namespace {

struct Example {
  int line = 0;
  std::string status;
  std::string command;
};

// ```sh blocks whose first line is "# answers NNN" and the rest one command.
std::vector<Example> examples(const std::string& page) {
  std::vector<Example> found;
  std::istringstream lines(page);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (line != "```sh")
      continue;
    Example example;
    example.line = number;
    std::string body;
    while (std::getline(lines, line) && line != "```") {
      ++number;
      body += line + "\n";
    }
    ++number;
    const std::string marker = "# answers ";
    if (body.rfind(marker, 0) != 0)
      continue;
    const auto first_end = body.find('\n');
    example.status = body.substr(marker.size(), first_end - marker.size());
    example.command = body.substr(first_end + 1);
    found.push_back(example);
  }
  return found;
}

TEST(ApiReference, EveryExampleAnswersAsThePageSays) {
  std::ifstream in(KORVANE_API_DOC);
  ASSERT_TRUE(in) << KORVANE_API_DOC;
  const std::string page((std::istreambuf_iterator<char>(in)), {});
  const auto all = examples(page);
  ASSERT_GE(all.size(), 10u);

  HelperService service;
  // The client's own socket at the Core address, as the page assumes.
  CoreControl client("/tmp/KorvaneVeskSocket_1.sock");
  const auto digest = run({"/usr/bin/sha256sum", shipped_core()}, {}).out.substr(0, 64);
  for (const auto& example : all) {
    // Only the status is compared: curl's output goes nowhere.
    std::string command = example.command;
    while (!command.empty() && command.back() == '\n')
      command.pop_back();
    command += " -s -o /dev/null -w '%{http_code}'";
    const auto outcome =
        run({"/usr/bin/setpriv", "--reuid=4242", "--regid=4242", "--clear-groups", "/bin/bash",
             "-c", command},
            {"PATH=/usr/bin:/bin", "CORE_SHA256=" + digest});
    EXPECT_EQ(outcome.out, example.status)
        << "docs/api.md line " << example.line << ":\n"
        << example.command << outcome.err;
  }
}

}  // namespace
}  // namespace testing_support
