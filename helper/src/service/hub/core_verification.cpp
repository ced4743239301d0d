#include "service/hub/core_verification.hpp"

#include "common/executable_path.hpp"
#include "common/parent_directory.hpp"
#include "service/hub/core_digest.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>

namespace service::hub {

namespace {

bool only_root_can_change(const struct stat& status) {
  return status.st_uid == 0 && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

Result<std::string> core_path() {
  auto helper = executable_path();
  if (!helper)
    return helper.error();
  return core_path_beside(*helper);
}

Result<std::string> core_path_beside(const std::string& helper) {
  auto parent = parent_directory(helper);
  if (!parent)
    return Error("helper executable has no parent directory");
  if (!parent->empty() && !parent->ends_with('/'))
    *parent += '/';
  return Result<std::string>(boost::system::in_place_value, *parent + CORE_FILE_NAME);
}

Result<std::string> sha256_of(int fd) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return Error("SHA-256 is not available");
  }
  std::array<unsigned char, 4096> buffer;
  for (;;) {
    const ssize_t count = ::read(fd, buffer.data(), buffer.size());
    if (count < 0) {
      if (errno == EINTR)
        continue;
      return Error::last_os();
    }
    if (count == 0)
      break;
    EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(count));
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest;
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest.data(), &length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return Result<std::string>(boost::system::in_place_value, std::move(text));
}

Result<VerifiedCore> verify_core() {
  auto path = core_path();
  if (!path)
    return path.error();
  auto directory = parent_directory(*path);
  if (!directory)
    return Error("Core executable has no parent directory");
  UniqueFd file(::open(path->c_str(), O_RDONLY | O_CLOEXEC));
  if (!file)
    return Error::last_os();
  // The Core is hashed and then executed by its path: if anyone but root
  // could change the file or its directory, they could swap it in between.
  struct stat status {};
  if (::fstat(file.get(), &status) != 0)
    return Error::last_os();
  if (!only_root_can_change(status)) {
    return Error("Core executable must be owned by root and not writable by group or others");
  }
  if (::stat(directory->empty() ? "." : directory->c_str(), &status) != 0) {
    return Error::last_os();
  }
  if (!only_root_can_change(status)) {
    return Error("Core directory must be owned by root and not writable by group or others");
  }
  auto digest = sha256_of(file.get());
  if (!digest)
    return digest.error();
  if (*digest != CORE_SHA256)
    return Error("Core executable SHA256 mismatch");
  return VerifiedCore{std::move(*path), std::move(*directory), std::move(file)};
}

bool is_valid_core_address(std::string_view address) {
  constexpr std::string_view kPrefix = "/tmp/KorvaneVeskSocket_";
  constexpr std::string_view kSuffix = ".sock";
  if (!address.starts_with(kPrefix) || !address.ends_with(kSuffix))
    return false;
  if (address.size() < kPrefix.size() + kSuffix.size())
    return false;
  const auto digits =
      address.substr(kPrefix.size(), address.size() - kPrefix.size() - kSuffix.size());
  if (digits.empty() || digits.size() > 10)
    return false;
  for (char c : digits) {
    if (c < '0' || c > '9')
      return false;
  }
  return true;
}

bool is_valid_session_id(std::string_view session_id) {
  if (session_id.size() != 32)
    return false;
  for (char c : session_id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return false;
  }
  return true;
}

Result<void> check_core_socket(std::string_view address, std::uint32_t owner_uid) {
  const std::string path(address);
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0)
    return Error::last_os();
  if (!S_ISSOCK(status.st_mode) || status.st_uid != owner_uid) {
    return Error("Core address is not a socket owned by the Helper owner");
  }
  return {};
}

}  // namespace service::hub
