// How fast a large selection goes to the Trash, and how fast a failed change
// is put back. Works in a temporary home trash; prints figures.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bridge/photos/trash/trash.h"
#include "kit/bench_kit.h"
#include "bridge/worker_mode.h"

namespace fs = std::filesystem;
using velmora::bench::secondsSince;

namespace {

std::vector<fs::path> makeFiles(const fs::path& folder, int count) {
  std::vector<fs::path> files;
  for (int i = 0; i < count; ++i) {
    const fs::path file = folder / ("folder" + std::to_string(i % 50)) /
                          ("IMG_" + std::to_string(10000 + i) + ".JPG");
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "bytes";
    files.push_back(file);
  }
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  // The library's reads run in workers started from this program.
  if (const auto status = velmora::bridge::runWorkerIfStartedAsOne()) return *status;
  const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
  char pattern[] = "/tmp/velmora-bench-trash-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  const fs::path root = pattern;
  ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);

  std::vector<fs::path> files = makeFiles(root / "Pictures", count);
  auto start = std::chrono::steady_clock::now();
  velmora::photos::ChangeResult result = velmora::photos::trashFiles(files);
  const double moved = secondsSince(start);
  std::printf("trash %d files: %.3f s (%.0f files/s), %s\n", count, moved, count / moved,
              result.succeeded ? "ok" : "failed");

  // Same again into a trash that already holds every name once, with the
  // last file missing: every move collides once, then all are put back.
  files = makeFiles(root / "Pictures", count);
  files.push_back(root / "Pictures" / "missing.JPG");
  start = std::chrono::steady_clock::now();
  result = velmora::photos::trashFiles(files);
  const double rolledBack = secondsSince(start);
  std::printf("trash %d files with name collisions, then put back: %.3f s, %s\n", count, rolledBack,
              result.succeeded ? "unexpectedly ok" : "put back");

  fs::remove_all(root);
  return 0;
}
