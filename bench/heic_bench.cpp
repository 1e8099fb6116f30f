// HEIC previews: the fast road (tiles decoded by FFmpeg, shrunk in YCbCr)
// against libvips' thumbnailer, side by side in one run.
//
//   heic_bench [--assets N] [--repeat N] [--grid FILE] [--before BRIDGE]
//   heic_bench --one fast|vips FILE OUT
//   heic_bench --scan fast|vips PICTURES PREVIEWS WORKERS
//
// Files: the phone grid (an iPhone 13 HEIC of 48 tiles, 12 MP: --grid, else
// photos/heif/ianare_iphone_13_pro_max.HEIC under the sample folders, which
// the project itself does not carry), and two single-picture 12 MP HEICs
// that libvips writes here (the phone's picture as one HEVC picture, and a
// 4000 x 3000 photo). For each file it prints
//   - one process per file: `vipsthumbnail --size 600x600` against this
//     program's --one form (fast road + JPEG), wall time, median of --repeat;
//   - in process: the libvips road (renderStill, what previews took before)
//     and the fast road (renderHeic), with 1 and with all libvips threads;
//   - peak resident memory of one preview by each road and of vipsthumbnail;
// then a scan of a HEIC-only library of --assets files, the libvips road
// against the fast one, with 1 worker and with one per processor (each a
// child process, its peak memory beside it), and with --before, that bridge
// binary's scan against this build's. Beside wall times it prints CPU
// times (every thread, user and system), which a machine shared with other
// work disturbs less. Load averages before and after.
// The --one and --scan forms are the children; peak memory is measured by
// GNU time (/usr/bin/time).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "base/vips.h"
#include "bridge/emit.h"
#include "bridge/photos/disk_library.h"
#include "bridge/photos/media/heif_layout.h"
#include "bridge/photos/preview/preview_formats.h"
#include "inventory/scan.h"
#include "inventory/thumbnail.h"
#include "kit/bench_kit.h"
#include "support/forwarding_library.h"
#include "support/pixels.h"
#include "bridge/worker_mode.h"

namespace fs = std::filesystem;
using namespace velmora;
using namespace velmora::bench;

namespace {

constexpr std::uint32_t side = inventory::previewSide;

std::string loadText() {
  const bench::LoadAverage load = bench::loadAverage();
  return load.one + " " + load.five + " " + load.fifteen;
}

struct Run {
  double seconds = 0;
  double cpuSeconds = 0;  // user + system
  long peakKiB = 0;
  bool ok = false;
  std::string out;
};

// Runs `argv` as a child process (standard error silenced), collecting its
// standard output, wall time and peak resident size. The size comes from
// GNU time, which starts the command: a child forked from this process
// would count this process's pages as its own peak, even after exec.
Run runChild(const std::vector<std::string>& command, const fs::path& work,
             const std::vector<std::string>& env = {}) {
  const fs::path peakFile = work / "peak.txt";
  std::vector<std::string> argv = {"/usr/bin/time", "-q", "-f", "%M %U %S", "-o",
                                   peakFile.string()};
  argv.insert(argv.end(), command.begin(), command.end());
  Run run;
  const auto start = Clock::now();
  CapturedRun child = runCapturing(argv, env);
  run.seconds = secondsSince(start);
  double user = 0;
  double system = 0;
  std::ifstream(peakFile) >> run.peakKiB >> user >> system;
  run.cpuSeconds = user + system;
  run.ok = child.ok;
  run.out = std::move(child.out);
  return run;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

std::optional<photos::RgbImage> render(const std::string& road, const std::string& file) {
  return road == "fast" ? photos::renderHeic(file, side, side)
                        : photos::renderStill(file, side, side);
}

// The child of one preview: rendered by one road and written as JPEG.
int oneChild(const std::string& road, const std::string& file, const std::string& out) {
  if (!base::ensureVips()) return 1;
  const auto preview = render(road, file);
  if (!preview) return 1;
  const auto jpeg = inventory::encodeJpeg(*preview, 80);
  if (!jpeg) return 1;
  std::ofstream(out, std::ios::binary) << *jpeg;
  return 0;
}

// The libvips road for every asset, as previews were made before the fast
// road: what the scan measured then.
class LibvipsRoad final : public testing::ForwardingLibrary {
 public:
  using ForwardingLibrary::ForwardingLibrary;
  std::optional<photos::RgbImage> requestImage(const photos::Asset& asset, std::uint32_t width,
                                               std::uint32_t height) override {
    if (asset.resources.empty()) return std::nullopt;
    return photos::renderStill(asset.resources.front().location, width, height);
  }
};

int scanChild(const std::string& road, const fs::path& pictures, const fs::path& previews,
              unsigned workers) {
  photos::DiskLibrary disk(pictures);
  LibvipsRoad libvips(disk);
  photos::PhotoLibrary& library = road == "fast" ? static_cast<photos::PhotoLibrary&>(disk)
                                                 : static_cast<photos::PhotoLibrary&>(libvips);
  std::size_t records = 0;
  std::size_t previewsMade = 0;
  const int status = inventory::scanAction(
      {"velmora-bridge", "scan", previews.string()}, library,
      [&](const bridge::Json& line) {
        const std::string text = bridge::jsonLine(line);
        if (!line.contains("items")) return;
        records = line["items"].size();
        for (const auto& item : line["items"]) previewsMade += item.contains("dhash_string");
      },
      workers);
  std::printf("%zu %zu\n", records, previewsMade);
  return status;
}

// A single-picture HEIC of `image`, as libvips writes one (HEVC, 4:2:0).
bool saveSingle(VipsImage* image, const fs::path& file) {
  return vipsOk(vips_heifsave(image, file.c_str(), "Q", 50, nullptr), "heifsave");
}

struct BenchFile {
  std::string label;
  fs::path path;
};

constexpr double notMeasured = std::numeric_limits<double>::quiet_NaN();

std::string describe(const fs::path& file) {
  const std::string bytes = readWhole(file);
  const photos::FileBytes source{bytes.size(), [&bytes](std::uint64_t offset, std::uint8_t* out,
                                                        std::size_t n) {
                                   if (offset > bytes.size() || n > bytes.size() - offset) {
                                     return false;
                                   }
                                   std::copy_n(bytes.data() + offset, n, out);
                                   return true;
                                 }};
  const auto layout = photos::readHevcStillLayout(source);
  char text[160];
  if (!layout) {
    std::snprintf(text, sizeof text, "not for the fast road, %.1f MB", bytes.size() / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%u x %u, %zu tile%s of %u x %u, %.1f MB", layout->width,
                  layout->height, layout->tiles.size(), layout->tiles.size() == 1 ? "" : "s",
                  layout->tileWidth, layout->tileHeight, bytes.size() / 1e6);
  }
  return text;
}

double cpuSeconds() { return usedCpuSeconds(RUSAGE_SELF); }

struct Timing {
  double wall = 0;
  double cpu = 0;  // of every thread
};

// One in-process preview by `road`: medians of `repeat` runs.
Timing inProcess(const std::string& road, const fs::path& file, int threads, int repeat) {
  vips_concurrency_set(threads);
  std::vector<double> walls;
  std::vector<double> cpus;
  for (int i = 0; i < repeat; ++i) {
    const auto start = Clock::now();
    const double cpuStart = cpuSeconds();
    if (!render(road, file.string())) return {notMeasured, notMeasured};
    walls.push_back(secondsSince(start));
    cpus.push_back(cpuSeconds() - cpuStart);
  }
  return {median(walls), median(cpus)};
}

}  // namespace

int main(int argc, char** argv) {
  // The library's reads run in workers started from this program.
  if (const auto status = velmora::bridge::runWorkerIfStartedAsOne()) return *status;
  const std::string self = fs::canonical("/proc/self/exe").string();
  if (argc == 5 && std::string(argv[1]) == "--one") return oneChild(argv[2], argv[3], argv[4]);
  if (argc == 6 && std::string(argv[1]) == "--scan") {
    if (!base::ensureVips()) return 1;
    return scanChild(argv[2], argv[3], argv[4],
                     static_cast<unsigned>(std::max(1, std::atoi(argv[5]))));
  }
  int assets = 24;
  int repeat = 5;
  fs::path grid;
  fs::path before;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--assets") assets = std::max(2, std::atoi(argv[i + 1]));
    if (option == "--repeat") repeat = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--grid") grid = argv[i + 1];
    if (option == "--before") before = argv[i + 1];
  }
  if (!base::ensureVips()) return 1;
  const std::string loadBefore = loadText();
  const unsigned all = processors();
  const fs::path testdata = VELMORA_TESTDATA;
  if (grid.empty()) {
    // Beside the sample files, or in the shared folder beside the checkout:
    // the phone's file is not part of the project.
    for (const fs::path& folder :
         {testdata, fs::path(VELMORA_SOURCE_DIR) / ".." / "shared" / "testdata"}) {
      const fs::path candidate = folder / "photos/heif/ianare_iphone_13_pro_max.HEIC";
      if (fs::exists(candidate)) {
        grid = candidate;
        break;
      }
    }
  }
  const fs::path root = fs::temp_directory_path() / ("heic_bench." + std::to_string(::getpid()));
  fs::create_directories(root);

  std::vector<BenchFile> files;
  if (!grid.empty() && fs::exists(grid)) {
    files.push_back({"phone grid", grid});
    // The same picture as one HEVC picture, as libvips writes it.
    VipsImage* decoded = vips_image_new_from_file(grid.c_str(), nullptr);
    if (decoded && saveSingle(decoded, root / "phone_single.heic")) {
      files.push_back({"phone, single", root / "phone_single.heic"});
    }
    if (decoded) g_object_unref(decoded);
  } else {
    std::printf("no phone grid (--grid FILE): single pictures only\n");
  }
  {
    // A 4000 x 3000 photo from the samples, grained as a sensor grains.
    VipsImage* sample =
        vips_image_new_from_file((testdata / "photos/jpeg/london.jpg").c_str(), nullptr);
    VipsImage* sized = nullptr;
    VipsImage* noise = nullptr;
    VipsImage* sum = nullptr;
    VipsImage* photo = nullptr;
    if (sample &&
        vipsOk(vips_resize(sample, &sized, 4000.0 / vips_image_get_width(sample), "vscale",
                          3000.0 / vips_image_get_height(sample), nullptr),
              "resize") &&
        vipsOk(vips_gaussnoise(&noise, 4000, 3000, "sigma", 4.0, "mean", 0.0, nullptr), "noise") &&
        vipsOk(vips_add(sized, noise, &sum, nullptr), "add") &&
        vipsOk(vips_cast_uchar(sum, &photo, nullptr), "cast") &&
        saveSingle(photo, root / "photo_single.heic")) {
      files.push_back({"photo, single", root / "photo_single.heic"});
    }
    for (VipsImage* image : {sample, sized, noise, sum, photo}) {
      if (image) g_object_unref(image);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "heic_bench: no HEIC to measure\n");
    return 1;
  }

  std::printf("load average before: %s; %u processors online\n", loadBefore.c_str(), all);
  for (const BenchFile& file : files) {
    std::printf("  %-14s %s\n", file.label.c_str(), describe(file.path).c_str());
  }

  std::printf("\none preview, milliseconds of wall time (and of CPU, every thread), median of %d:\n",
              repeat);
  std::printf("%-14s %-13s %-13s %-13s | %-11s %-11s %-13s | %-11s %-11s %-13s | %5s\n", "",
              "vipsthumbnail", "fast process", "ratio", "libvips 1", "fast 1", "ratio",
              ("libvips " + std::to_string(all)).c_str(), ("fast " + std::to_string(all)).c_str(),
              "ratio", "diff");
  std::vector<std::pair<std::string, Run>> memory;
  const auto pair = [](double wall, double cpu) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f (%.0f)", wall * 1e3, cpu * 1e3);
    return std::string(text);
  };
  const auto ratios = [](double wall, double cpu) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2fx (%.2fx)", wall, cpu);
    return std::string(text);
  };
  for (const BenchFile& file : files) {
    std::vector<double> thumbnailer, thumbnailerCpu, fastProcess, fastProcessCpu;
    Run thumbnailerRun;
    Run fastRun;
    for (int i = 0; i < repeat; ++i) {
      thumbnailerRun = runChild({"vipsthumbnail", "--size", "600x600", file.path.string(), "-o",
                                 (root / "vipsthumbnail.jpg").string() + "[Q=80]"},
                                root);
      fastRun = runChild({self, "--one", "fast", file.path.string(), (root / "fast.jpg").string()},
                         root);
      thumbnailer.push_back(thumbnailerRun.seconds);
      thumbnailerCpu.push_back(thumbnailerRun.cpuSeconds);
      fastProcess.push_back(fastRun.seconds);
      fastProcessCpu.push_back(fastRun.cpuSeconds);
    }
    const Run vipsRun =
        runChild({self, "--one", "vips", file.path.string(), (root / "vips.jpg").string()}, root);
    memory.emplace_back(file.label + ": vipsthumbnail", thumbnailerRun);
    memory.emplace_back(file.label + ": libvips road", vipsRun);
    memory.emplace_back(file.label + ": fast road", fastRun);
    const Timing libvipsOne = inProcess("vips", file.path, 1, repeat);
    const Timing fastOne = inProcess("fast", file.path, 1, repeat);
    const Timing libvipsAll = inProcess("vips", file.path, static_cast<int>(all), repeat);
    const Timing fastAll = inProcess("fast", file.path, static_cast<int>(all), repeat);
    const auto fast = photos::renderHeic(file.path.string(), side, side);
    const auto ordinary = photos::renderStill(file.path.string(), side, side);
    const double diff = fast && ordinary ? testing::meanDifference(*fast, *ordinary) : notMeasured;
    std::printf("%-14s %-13s %-13s %-13s | %-11s %-11s %-13s | %-11s %-11s %-13s | %5.2f%s\n",
                file.label.c_str(), pair(median(thumbnailer), median(thumbnailerCpu)).c_str(),
                pair(median(fastProcess), median(fastProcessCpu)).c_str(),
                ratios(median(thumbnailer) / median(fastProcess),
                       median(thumbnailerCpu) / median(fastProcessCpu))
                    .c_str(),
                pair(libvipsOne.wall, libvipsOne.cpu).c_str(),
                pair(fastOne.wall, fastOne.cpu).c_str(),
                ratios(libvipsOne.wall / fastOne.wall, libvipsOne.cpu / fastOne.cpu).c_str(),
                pair(libvipsAll.wall, libvipsAll.cpu).c_str(),
                pair(fastAll.wall, fastAll.cpu).c_str(),
                ratios(libvipsAll.wall / fastAll.wall, libvipsAll.cpu / fastAll.cpu).c_str(), diff,
                thumbnailerRun.ok && fastRun.ok && vipsRun.ok ? "" : "  (a child failed!)");
    std::fflush(stdout);
  }
  vips_concurrency_set(0);

  std::printf("\npeak resident memory of one preview, MiB:\n");
  for (const auto& [label, run] : memory) {
    std::printf("  %-34s %6.1f\n", label.c_str(), run.peakKiB / 1024.0);
  }

  // A library of HEICs only, as a phone's camera folder is: the files above
  // in turn, hard-linked under names of their own.
  const fs::path pictures = root / "Pictures";
  fs::create_directories(pictures / "DCIM");
  for (int i = 0; i < assets; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "DCIM/IMG_%04d.HEIC", i);
    fs::create_hard_link(files[static_cast<std::size_t>(i) % files.size()].path, pictures / name);
  }
  std::printf(
      "\nscan of %d HEIC assets, assets per second (peak resident MiB); ratio of wall time (of "
      "CPU):\n",
      assets);
  std::printf("%-8s %18s %18s %15s\n", "workers", "libvips road", "fast road", "ratio");
  bool complete = true;
  for (const unsigned workers : {1u, all}) {
    Run runs[2];
    const char* roads[2] = {"vips", "fast"};
    for (int r = 0; r < 2; ++r) {
      fs::remove_all(root / "previews");
      fs::create_directories(root / "previews");
      runs[r] = runChild({self, "--scan", roads[r], pictures.string(),
                          (root / "previews").string(), std::to_string(workers)},
                         root);
      const std::string expected = std::to_string(assets) + " " + std::to_string(assets) + "\n";
      complete = complete && runs[r].ok && runs[r].out == expected;
    }
    std::printf("%-8u %11.2f (%4ld) %11.2f (%4ld) %15s\n", workers, assets / runs[0].seconds,
                runs[0].peakKiB / 1024, assets / runs[1].seconds, runs[1].peakKiB / 1024,
                ratios(runs[0].seconds / runs[1].seconds, runs[0].cpuSeconds / runs[1].cpuSeconds)
                    .c_str());
    std::fflush(stdout);
  }
  if (!before.empty()) {
    // Whole bridges, as the application starts them: one worker per processor.
    const fs::path home = root / "home";
    fs::create_directories(home / ".config");
    std::ofstream(home / ".config/user-dirs.dirs") << "XDG_PICTURES_DIR=\"" << pictures.string()
                                                   << "\"\n";
    const std::vector<std::string> env = {"HOME=" + home.string(),
                                          "XDG_CONFIG_HOME=" + (home / ".config").string()};
    Run runs[2];
    const std::string bridges[2] = {before.string(), VELMORA_BRIDGE_EXE};
    for (int r = 0; r < 2; ++r) {
      fs::remove_all(root / "previews");
      fs::create_directories(root / "previews");
      runs[r] = runChild({bridges[r], "scan", (root / "previews").string()}, root, env);
      complete = complete && runs[r].ok &&
                 runs[r].out.find("\"items\"") != std::string::npos;
    }
    std::printf("bridges  %11.2f (%4ld) %11.2f (%4ld) %15s   (%s against this build)\n",
                assets / runs[0].seconds, runs[0].peakKiB / 1024, assets / runs[1].seconds,
                runs[1].peakKiB / 1024,
                ratios(runs[0].seconds / runs[1].seconds, runs[0].cpuSeconds / runs[1].cpuSeconds)
                    .c_str(),
                before.c_str());
  }
  std::printf("\nload average after: %s\n", loadText().c_str());
  fs::remove_all(root);
  return complete ? 0 : 2;
}
