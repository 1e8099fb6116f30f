// How long `delete` takes to check a large selection in one folder: every
// asset named in `ids` and in `checks`, no display, so the run ends at the
// confirmation ("Abgebrochen") right after the checks. Prints seconds per
// library size; `delete_checks_bench [sizes...]` (default 1000 8000 50000).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <vips/vips8>

#include "base/vips.h"
#include "bridge/photos/disk_library.h"
#include "inventory/fingerprint.h"
#include "bridge/worker_mode.h"

namespace fs = std::filesystem;

namespace {

// A real, small JPEG: the favourite check reads its metadata.
std::string smallJpeg() {
  velmora::base::ensureVips();
  vips::VImage image = vips::VImage::black(64, 48) + 90;
  void* buffer = nullptr;
  size_t length = 0;
  image.cast(VIPS_FORMAT_UCHAR).write_to_buffer(".jpg", &buffer, &length);
  std::string bytes(static_cast<const char*>(buffer), length);
  g_free(buffer);
  return bytes;
}

struct Timing {
  double wall = 0;
  double cpu = 0;  // user and system time of the bridge
};

Timing runDelete(const fs::path& home, const fs::path& request) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    if (std::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(126);
    ::execl(VELMORA_BRIDGE_EXE, VELMORA_BRIDGE_EXE, "delete", request.c_str(), nullptr);
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(child, &status, 0, &usage);
  Timing timing;
  timing.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  timing.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  return timing;
}

}  // namespace

int main(int argc, char** argv) {
  // The library's reads run in workers started from this program.
  if (const auto status = velmora::bridge::runWorkerIfStartedAsOne()) return *status;
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {1000, 8000, 50000};
  const std::string jpeg = smallJpeg();
  for (const int size : sizes) {
    char pattern[] = "/tmp/velmora-bench-checks-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    const fs::path home = pattern;
    const fs::path pictures = home / "Pictures";
    fs::create_directories(pictures);
    fs::create_directories(home / ".config");
    std::vector<std::string> ids;
    for (int i = 0; i < size; ++i) {
      ids.push_back("IMG_" + std::to_string(100000 + i) + ".JPG");
      std::ofstream(pictures / ids.back(), std::ios::binary) << jpeg;
    }
    velmora::photos::DiskLibrary library(pictures);
    std::string request = "{\"ids\": [";
    std::string checks = "], \"checks\": [";
    std::uint64_t bytes = 0;
    const std::vector<velmora::photos::Asset> assets = library.fetchByIdentifiers(ids);
    for (std::size_t i = 0; i < assets.size(); ++i) {
      const std::string hash = velmora::inventory::resourceHash(library, assets[i], bytes).value();
      request += (i > 0 ? ", \"" : "\"") + ids[i] + "\"";
      checks += std::string(i > 0 ? ", " : "") + "{\"id\": \"" + ids[i] + "\", \"hash\": \"" +
                hash + "\"}";
    }
    std::ofstream(home / "request.json") << request << checks << "]}";
    const Timing timing = runDelete(home, home / "request.json");
    std::printf("delete with checks, %d assets in one folder: %.2f s (%.2f s processor time)\n",
                size, timing.wall, timing.cpu);
    std::fflush(stdout);
    fs::remove_all(home);
  }
  return 0;
}
