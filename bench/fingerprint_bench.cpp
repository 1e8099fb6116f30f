// Fingerprint throughput over a 200 MB resource in the page cache, beside
// plain OpenSSL SHA-256 over memory, and the enumeration rate of a library of
// 10,000 small files.
#include <openssl/evp.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bridge/photos/disk_library.h"
#include "inventory/fingerprint.h"
#include "kit/bench_kit.h"
#include "bridge/worker_mode.h"

namespace fs = std::filesystem;
using velmora::photos::Asset;
using velmora::photos::DiskLibrary;
using velmora::bench::secondsSince;
// CPU time of this process (user and system): on a busy machine the fair
// comparison with `openssl speed`, which divides by CPU time too.
using velmora::bench::clockCpuSeconds;

namespace {

struct Rate {
  double wall = 0, cpu = 0, caller = 0;  // MB/s
  void keepBest(double megabytes, double wallSeconds, double cpuSecondsUsed, double callerSeconds) {
    wall = std::max(wall, megabytes / wallSeconds);
    cpu = std::max(cpu, megabytes / cpuSecondsUsed);
    caller = std::max(caller, megabytes / callerSeconds);
  }
};

fs::path makeTempFolder() {
  std::string pattern = (fs::temp_directory_path() / "velmora-bench-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) std::exit(1);
  return buffer.data();
}

void writeBytes(const fs::path& file, std::size_t size) {
  std::vector<char> block(1 << 20);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7919 % 251);
  std::ofstream out(file, std::ios::binary);
  for (std::size_t written = 0; written < size; written += block.size()) {
    out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - written)));
  }
}

void opensslRate(std::size_t total, Rate& rate) {
  std::vector<unsigned char> block(1 << 20, 0x5a);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  const auto start = std::chrono::steady_clock::now();
  const double cpuStart = clockCpuSeconds();
  const double callerStart = clockCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
  for (std::size_t done = 0; done < total; done += block.size()) {
    EVP_DigestUpdate(context, block.data(), block.size());
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context, digest, &length);
  rate.keepBest(static_cast<double>(total) / 1e6, secondsSince(start), clockCpuSeconds() - cpuStart,
                clockCpuSeconds(CLOCK_THREAD_CPUTIME_ID) - callerStart);
  EVP_MD_CTX_free(context);
}

}  // namespace

int main() {
  // The library's reads run in workers started from this program.
  if (const auto status = velmora::bridge::runWorkerIfStartedAsOne()) return *status;
  const fs::path folder = makeTempFolder();

  constexpr std::size_t resourceSize = 200u << 20;
  const fs::path big = folder / "big";
  fs::create_directories(big);
  writeBytes(big / "movie.mov", resourceSize);
  DiskLibrary bigLibrary(big);
  const std::vector<Asset> bigAssets = bigLibrary.fetchAll();
  Rate fingerprintRate, plainRate;
  for (int run = 0; run < 6; ++run) {  // the first run also fills the page cache
    std::uint64_t size = 0;
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = clockCpuSeconds();
    const double callerStart = clockCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const auto fingerprint = velmora::inventory::resourceHash(bigLibrary, bigAssets.at(0), size);
    const double wall = secondsSince(start), cpu = clockCpuSeconds() - cpuStart;
    const double caller = clockCpuSeconds(CLOCK_THREAD_CPUTIME_ID) - callerStart;
    if (!fingerprint || size != resourceSize) return 1;
    if (run > 0) fingerprintRate.keepBest(static_cast<double>(size) / 1e6, wall, cpu, caller);
    opensslRate(resourceSize, plainRate);
  }
  // The file is read one chunk ahead on a second thread: with a free core
  // the wall time follows the hashing thread's CPU time.
  std::printf(
      "fingerprint of a 200 MiB resource: %.0f MB/s wall, %.0f MB/s by hashing-thread "
      "CPU, %.0f MB/s by all CPU\n",
      fingerprintRate.wall, fingerprintRate.caller, fingerprintRate.cpu);
  std::printf("OpenSSL SHA-256 over memory:       %.0f MB/s wall, %.0f MB/s CPU\n", plainRate.wall,
              plainRate.cpu);
  std::printf("fingerprint / OpenSSL: %.0f %% wall, %.0f %% hashing thread, %.0f %% all CPU\n",
              100.0 * fingerprintRate.wall / plainRate.wall,
              100.0 * fingerprintRate.caller / plainRate.cpu,
              100.0 * fingerprintRate.cpu / plainRate.cpu);

  const fs::path small = folder / "small";
  constexpr int folders = 100, perFolder = 100;
  for (int f = 0; f < folders; ++f) {
    const fs::path sub = small / ("2024-" + std::to_string(f));
    fs::create_directories(sub);
    for (int i = 0; i < perFolder; ++i) {
      // Every tenth photo is a live photo: the 10,000 files make 9,000 assets.
      const std::string stem = "IMG_" + std::to_string(f * perFolder + i);
      const bool video = i % 10 == 9;
      std::ofstream(
          sub / (video ? "IMG_" + std::to_string(f * perFolder + i - 1) + ".MOV" : stem + ".JPG"))
          << "x";
    }
  }
  DiskLibrary smallLibrary(small);
  double bestRate = 0;
  std::size_t count = 0;
  for (int run = 0; run < 5; ++run) {
    const auto start = std::chrono::steady_clock::now();
    count = smallLibrary.fetchAll().size();
    bestRate = std::max(bestRate, static_cast<double>(count) / secondsSince(start));
  }
  std::printf("enumeration of 10,000 files (%zu assets): %.0f assets/s\n", count, bestRate);

  std::error_code error;
  fs::remove_all(folder, error);
  return 0;
}
