// Scan throughput against the standalone tools doing the same work per file.
//
//   scan_bench [assets] [--keep]
//
// Builds a pictures folder of `assets` files (default 500): 12-megapixel
// JPEGs and HEICs, PNG screenshots and short 1080p videos, in the shares a
// phone library has. Then, per kind and in total, it times
//   - `velmora-bridge scan` on that library, and
//   - per file `vipsthumbnail -s 600x600` + `sha256sum` + `zbarimg` on the
//     thumbnail, run one after another by one shell script,
// and prints assets per second for both. With --keep the library stays and
// its path is printed (for memory measurements).
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bridge/vips.h"

namespace fs = std::filesystem;

namespace {

struct Kind {
  const char* name;
  double share;
  int distinct;  // files actually encoded; the rest are copies of them
};

// Shares as in a typical phone library; HEIC encoding is slow, so few
// distinct ones are made and copied (the scan cannot tell).
const Kind kinds[] = {
    {"jpeg", 0.76, 40},
    {"heic", 0.14, 2},
    {"png", 0.08, 6},
    {"video", 0.02, 3},
};

bool check(int status, const char* what) {
  if (status != 0) {
    std::fprintf(stderr, "scan_bench: %s failed: %s\n", what, vips_error_buffer());
    vips_error_clear();
  }
  return status == 0;
}

int run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string quoted(const fs::path& path) {
  std::string text = "'";
  for (const char c : path.string()) {
    if (c == '\'')
      text += "'\\''";
    else
      text += c;
  }
  return text + "'";
}

// A 4000 x 3000 picture from a sample photo, tinted and grained per index
// so that no two encode alike.
VipsImage* photo(VipsImage* base, int index) {
  VipsImage* tinted = nullptr;
  VipsImage* noise = nullptr;
  VipsImage* sum = nullptr;
  VipsImage* out = nullptr;
  const double tint[3] = {1.0 + (index % 7) * 0.02, 1.0, 1.0 - (index % 5) * 0.02};
  const double offset[3] = {static_cast<double>(index % 11), 0, 0};
  bool ok =
      check(vips_linear(base, &tinted, tint, offset, 3, nullptr), "linear") &&
      check(vips_gaussnoise(&noise, 4000, 3000, "sigma", 6.0, "mean", 0.0, "seed", index, nullptr),
            "noise") &&
      check(vips_add(tinted, noise, &sum, nullptr), "add") &&
      check(vips_cast_uchar(sum, &out, nullptr), "cast");
  for (VipsImage* image : {tinted, noise, sum}) {
    if (image) g_object_unref(image);
  }
  return ok ? out : nullptr;
}

std::vector<fs::path> makeKind(const Kind& kind, int count, const fs::path& pictures,
                               VipsImage* base, VipsImage* screen) {
  std::vector<fs::path> files;
  std::vector<fs::path> originals;
  for (int i = 0; i < count; ++i) {
    char name[160];
    fs::path file;
    if (std::string(kind.name) == "jpeg") {
      std::snprintf(name, sizeof name, "DCIM/100APPLE/IMG_%04d.JPG", i);
    } else if (std::string(kind.name) == "heic") {
      std::snprintf(name, sizeof name, "DCIM/101APPLE/IMG_%04d.HEIC", i);
    } else if (std::string(kind.name) == "png") {
      std::snprintf(name, sizeof name, "Screenshots/Screenshot from 2024-05-%02d 10-%02d-%02d.png",
                    1 + i % 28, i / 60 % 60, i % 60);
    } else {
      std::snprintf(name, sizeof name, "DCIM/102APPLE/MOV_%04d.mp4", i);
    }
    file = pictures / name;
    fs::create_directories(file.parent_path());
    if (static_cast<int>(originals.size()) >= kind.distinct) {
      fs::copy_file(originals[static_cast<std::size_t>(i) % originals.size()], file);
      files.push_back(file);
      continue;
    }
    bool made = false;
    if (std::string(kind.name) == "video") {
      made = run("ffmpeg -nostdin -v quiet -f lavfi -i testsrc2=size=1920x1080:rate=30 -t 3 "
                 "-vf hue=h=" +
                 std::to_string(i * 40) + " -c:v libx264 -preset veryfast -pix_fmt yuv420p " +
                 quoted(file)) == 0;
    } else if (std::string(kind.name) == "png") {
      VipsImage* shifted = nullptr;
      const double scale[3] = {1, 1, 1};
      const double shift[3] = {static_cast<double>(i * 9 % 40), 0, 0};
      made =
          check(vips_linear(screen, &shifted, scale, shift, 3, "uchar", TRUE, nullptr), "linear") &&
          check(vips_pngsave(shifted, file.c_str(), "compression", 6, nullptr), "pngsave");
      if (shifted) g_object_unref(shifted);
    } else {
      VipsImage* picture = photo(base, i);
      if (picture) {
        made = std::string(kind.name) == "jpeg"
                   ? check(vips_jpegsave(picture, file.c_str(), "Q", 90, nullptr), "jpegsave")
                   : check(vips_heifsave(picture, file.c_str(), "Q", 50, nullptr), "heifsave");
        g_object_unref(picture);
      }
    }
    if (!made) {
      std::fprintf(stderr, "scan_bench: could not make %s\n", file.c_str());
      std::exit(1);
    }
    originals.push_back(file);
    files.push_back(file);
  }
  return files;
}

double seconds(const std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs the bridge's scan with `home` as the home folder; returns the
// number of records in its last line (or -1) and the wall time.
std::pair<int, double> timeScan(const fs::path& home, const fs::path& previews) {
  fs::create_directories(previews);
  const fs::path output = home / "scan.out";
  const std::string command =
      "env -i HOME=" + quoted(home) + " XDG_CONFIG_HOME=" + quoted(home / ".config") +
      " " VELMORA_BRIDGE_EXE " scan " + quoted(previews) + " > " + quoted(output) + " 2>&1";
  const auto start = std::chrono::steady_clock::now();
  const int status = run(command);
  const double elapsed = seconds(start);
  std::ifstream in(output);
  std::string line;
  std::string last;
  while (std::getline(in, line)) last = line;
  int records = -1;
  if (status == 0) {
    records = 0;
    for (std::size_t at = last.find("\"asset_id\""); at != std::string::npos;
         at = last.find("\"asset_id\"", at + 1)) {
      ++records;
    }
  }
  return {records, elapsed};
}

double timeTools(const std::vector<fs::path>& files, const fs::path& work) {
  fs::create_directories(work);
  const fs::path script = work / "tools.sh";
  {
    std::ofstream out(script);
    out << "#!/bin/sh\n";
    int n = 0;
    for (const fs::path& file : files) {
      const fs::path thumb = work / (std::to_string(n++) + ".jpg");
      out << "vipsthumbnail -s 600x600 " << quoted(file) << " -o "
          << quoted(thumb.string() + "[Q=80]") << " >/dev/null 2>&1\n"
          << "sha256sum " << quoted(file) << " >/dev/null 2>&1\n"
          << "zbarimg -q -Sdisable -Sqrcode.enable " << quoted(thumb) << " >/dev/null 2>&1\n";
    }
  }
  const auto start = std::chrono::steady_clock::now();
  run("sh " + quoted(script));
  return seconds(start);
}

}  // namespace

int main(int argc, char** argv) {
  int total = 500;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--keep")
      keep = true;
    else
      total = std::max(4, std::atoi(argv[i]));
  }
  if (!velmora::bridge::ensureVips()) return 1;
  const fs::path testdata = VELMORA_TESTDATA;
  const fs::path root = fs::temp_directory_path() / ("scan_bench." + std::to_string(::getpid()));

  VipsImage* sample =
      vips_image_new_from_file((testdata / "photos/jpeg/london.jpg").c_str(), nullptr);
  VipsImage* shot =
      vips_image_new_from_file((testdata / "screenshots/btop_normal.png").c_str(), nullptr);
  VipsImage* base = nullptr;
  VipsImage* screen = nullptr;
  if (!sample || !shot ||
      !check(vips_resize(sample, &base, 4000.0 / vips_image_get_width(sample), "vscale",
                         3000.0 / vips_image_get_height(sample), nullptr),
             "resize") ||
      !check(
          vips_resize(shot, &screen, 2560.0 / vips_image_get_width(shot), "vscale",
                      1440.0 / vips_image_get_height(shot), "kernel", VIPS_KERNEL_NEAREST, nullptr),
          "resize")) {
    std::fprintf(stderr, "scan_bench: sample files missing under %s\n", testdata.c_str());
    return 1;
  }
  // Copy the base into memory once: every photo derives from it.
  VipsImage* memory = vips_image_copy_memory(base);
  g_object_unref(base);
  base = memory;

  std::printf("library of %d assets under %s\n", total, root.c_str());
  std::printf("%-7s %6s %10s %12s %10s %12s %8s\n", "kind", "assets", "scan s", "scan a/s",
              "tools s", "tools a/s", "speedup");
  int made = 0;
  double scanTotal = 0;
  double toolsTotal = 0;
  int recordsTotal = 0;
  for (std::size_t k = 0; k < std::size(kinds); ++k) {
    const Kind& kind = kinds[k];
    // Every kind gets at least one file; the JPEGs take what is left.
    int others = 0;
    for (std::size_t o = 1; o < std::size(kinds); ++o) {
      others += std::max(1, static_cast<int>(total * kinds[o].share + 0.5));
    }
    const int count =
        k == 0 ? total - others : std::max(1, static_cast<int>(total * kind.share + 0.5));
    made += count;
    // A home per kind, so each kind's scan can be timed on its own.
    const fs::path home = root / kind.name / "home";
    fs::create_directories(home / ".config");
    const std::vector<fs::path> files = makeKind(kind, count, home / "Pictures", base, screen);
    const auto [records, scanSeconds] = timeScan(home, root / kind.name / "previews");
    const double toolsSeconds = timeTools(files, root / kind.name / "tools");
    std::printf("%-7s %6d %10.2f %12.2f %10.2f %12.2f %7.2fx%s\n", kind.name, count, scanSeconds,
                count / scanSeconds, toolsSeconds, count / toolsSeconds, toolsSeconds / scanSeconds,
                records == count ? "" : "  (record count differs!)");
    scanTotal += scanSeconds;
    toolsTotal += toolsSeconds;
    recordsTotal += records;
    std::fflush(stdout);
  }
  std::printf("%-7s %6d %10.2f %12.2f %10.2f %12.2f %7.2fx\n", "total", made, scanTotal,
              made / scanTotal, toolsTotal, made / toolsTotal, toolsTotal / scanTotal);
  g_object_unref(base);
  g_object_unref(screen);
  g_object_unref(sample);
  g_object_unref(shot);
  if (!keep) fs::remove_all(root);
  return recordsTotal == made ? 0 : 2;
}
