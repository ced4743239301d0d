#pragma once

#include "common/error.hpp"
#include "common/unique_fd.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace service::hub {

inline constexpr const char* CORE_FILE_NAME = "KorvaneVeskCore";

// A Core executable that has just passed the digest check, with the handle
// it was read through.
struct VerifiedCore {
  std::string path;
  std::string directory;
  UniqueFd file;
};

// "KorvaneVeskCore" in the helper executable's directory.
Result<std::string> core_path();
// The same, for the helper executable at `helper`.
Result<std::string> core_path_beside(const std::string& helper);
// Opens the Core read-only, checks that only root can change it, streams it
// through SHA-256 and compares the digest with CORE_SHA256.
Result<VerifiedCore> verify_core();
// Computes the lowercase hexadecimal SHA-256 of what `fd` reads.
Result<std::string> sha256_of(int fd);

bool is_valid_core_address(std::string_view address);
bool is_valid_session_id(std::string_view session_id);
// The address itself (a final symbolic link is not followed) is a socket
// that the owner owns.
Result<void> check_core_socket(std::string_view address, std::uint32_t owner_uid);

}  // namespace service::hub
