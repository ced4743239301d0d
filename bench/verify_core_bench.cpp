// Hashing a 64 MiB Core: verify_core against a plain loop of 4096-byte reads
// into OpenSSL and against `openssl dgst -sha256`, all on the same file with
// the page cache warm. Compare the three within one run.
#include "common/executable_path.hpp"
#include "service/hub/core_verification.hpp"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

namespace {

constexpr std::size_t kCoreSize = 64 * 1024 * 1024;

const std::string& big_core() {
  static const std::string path = [] {
    auto helper = service::executable_path();
    if (!helper)
      std::abort();
    const std::string file = helper->substr(0, helper->rfind('/')) + "/KorvaneVeskCore";
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
      block[i] = static_cast<char>(i * 131);
    for (std::size_t written = 0; written < kCoreSize; written += block.size())
      out << block;
    return file;
  }();
  return path;
}

void BM_VerifyCore(benchmark::State& state) {
  big_core();
  for (auto _ : state) {
    // The digest differs from the built-in one: all the work, then a mismatch.
    auto verified = service::hub::verify_core();
    benchmark::DoNotOptimize(verified);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCoreSize));
}

void BM_PlainReadLoop4096(benchmark::State& state) {
  const std::string& path = big_core();
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::array<unsigned char, 4096> buffer;
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
      EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(n));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    benchmark::DoNotOptimize(digest);
    ::close(fd);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCoreSize));
}

void BM_OpensslDgst(benchmark::State& state) {
  const std::string command = "openssl dgst -sha256 '" + big_core() + "' >/dev/null";
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0)
      state.SkipWithError("openssl dgst failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kCoreSize));
}

BENCHMARK(BM_VerifyCore)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainReadLoop4096)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpensslDgst)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
