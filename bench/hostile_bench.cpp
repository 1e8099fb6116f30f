// Time and peak memory for the worst files a pictures folder may hold:
// crafted headers declaring huge sizes, decompression bombs, corrupt and
// truncated samples, a video with a broken index. Each file is handled in a
// child process of its own (decoding as the qr actions do it, the header
// read for the attributes, the preview as the scan renders it), so that the
// child's peak resident size is the figure for that file alone.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bridge/photos/disk_library.h"
#include "bridge/photos/media/media_metadata.h"
#include "bridge/process.h"
#include "faults/hostile_images.h"
#include "kit/bench_kit.h"
#include "qr/image_file.h"
#include "bridge/worker_mode.h"

namespace fs = std::filesystem;
using namespace velmora;
using bench::readWhole;

namespace {

void write(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary) << bytes;
}

struct Figures {
  double seconds = 0;
  long peakKiB = 0;
  int status = -1;
};

// Runs `work` in a child; its wall time and peak resident size.
template <typename Work>
Figures inChild(Work work) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    work();
    std::_Exit(0);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  Figures figures;
  figures.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  figures.peakKiB = usage.ru_maxrss;
  figures.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return figures;
}

}  // namespace

int main() {
  // The library's reads run in workers started from this program.
  if (const auto status = velmora::bridge::runWorkerIfStartedAsOne()) return *status;
  bridge::quietenProcess();
  char folder[] = "/tmp/velmora-hostile-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 1;
  const fs::path dir(folder);

  std::vector<fs::path> files;
  auto crafted = [&](const char* name, const std::string& bytes) {
    write(dir / name, bytes);
    files.push_back(dir / name);
  };
  crafted("declares-100000x100000.png", testing::pngDeclaring(100000, 100000));
  crafted("declares-65500x65500.jpg", testing::jpegDeclaring(65500, 65500));
  // Within the limit, 14000 x 14000 grey: 2 MB of zeros that inflate to the
  // 196 MB the header promises; the largest image a file may make us hold.
  crafted("inflates-14000x14000.png",
          testing::pngOfRows(14000, 14000, std::string(14001ul * 14000, '\0')));
  const fs::path samples = VELMORA_TESTDATA;
  for (const char* sub : {"bad/bomb", "bad/corrupt", "bad/truncated"}) {
    if (!fs::exists(samples / sub)) continue;
    for (const auto& entry : fs::directory_iterator(samples / sub)) files.push_back(entry.path());
  }
  if (fs::exists(samples / "video/sample.mp4")) {
    std::string broken = readWhole(samples / "video/sample.mp4");
    for (const char* atom : {"stco", "stsz", "stts", "stss", "stsc"}) {
      for (std::size_t at = broken.find(atom); at != std::string::npos;
           at = broken.find(atom, at + 4)) {
        for (std::size_t i = at + 8; i < std::min(broken.size(), at + 64); ++i) broken[i] = '\xFF';
      }
    }
    crafted("broken-index.mp4", broken);
  }

  std::printf("%-44s %10s %10s %10s %10s\n", "file", "decode s", "peak MiB", "preview s",
              "peak MiB");
  for (const fs::path& file : files) {
    const Figures decode = inChild([&] { qr::loadLuma(file.string()); });
    // The library's view: attributes from the header, then the preview.
    const fs::path single = dir / "library";
    fs::remove_all(single);
    fs::create_directories(single);
    fs::copy_file(file, single / file.filename());
    const Figures preview = inChild([&] {
      photos::DiskLibrary library(single);
      for (const photos::Asset& asset : library.fetchAll()) {
        library.attributes(asset);
        library.requestImage(asset, 600, 600);
      }
    });
    std::printf("%-44s %10.3f %10.1f %10.3f %10.1f%s\n", file.filename().c_str(), decode.seconds,
                static_cast<double>(decode.peakKiB) / 1024, preview.seconds,
                static_cast<double>(preview.peakKiB) / 1024,
                decode.status == 0 && preview.status == 0 ? "" : "  (child failed)");
  }
  fs::remove_all(dir);
  return 0;
}
