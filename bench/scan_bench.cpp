// Scan throughput against the standalone tools doing the same work per file.
//
//   scan_bench [assets] [--keep]
//   scan_bench --scan <pictures> <previews> <workers>
//
// Builds a pictures folder of `assets` files (default 500): 12-megapixel
// JPEGs and HEICs, PNG screenshots and short 1080p videos, in the shares a
// phone library has. Then, per kind and in total, it times
//   - the scan with one worker and with one per online processor (each in a
//     child process, whose peak resident memory is reported too), and
//   - per file `vipsthumbnail -s 600x600` + `sha256sum` + `zbarimg` on the
//     thumbnail, run one after another by one shell script, and the same
//     commands run by `xargs -P <processors>`,
// and prints assets per second for all of them, then the same for one
// library that holds every kind. With --keep the library
// stays and its path is printed. The second form is the child: one scan of
// the folder, its lines thrown away.
//
// Then, per file, the roads a scan takes for files whose facts are not
// where most keep them: a date only in XMP or in a sidecar, a size only in
// the decoder's header, RAW files that only LibRaw reads (the shared CR3
// sample, when it is there, also with a full-size picture put into it), an
// MPO, a video whose pixels are not square; beside them the usual roads of
// a JPEG with EXIF and a DNG Exiv2 reads. Each road runs in a child process
// of its own (the third form), for the attributes and for the preview
// apart: time per file and peak resident memory, and what it found.
// --paths-only prints only this part.
//
//   scan_bench --path <pictures> <attributes|preview> <repeats>
//
//   scan_bench --cpu [photos] [--baseline <other build's velmora-bridge>]
//
// CPU per asset: the bridge executable itself scans (cache off) `photos`
// distinct camera JPEGs (default 500 above; 200 is plenty), a quarter as
// many HEICs, a phone's mixed library of that size, and the camera JPEGs
// linked ten times over. It prints CPU ms per asset (the bridge and its
// workers, user and system), the peak resident memory of the bridge and
// its workers summed, and the wall time; with --baseline, both builds in
// turns, and whether their lines and previews are identical.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <cerrno>
#include <csetjmp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exiv2/exiv2.hpp>
#include <jpeglib.h>
#include <openssl/evp.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/vips.h"
#include "bridge/emit.h"
#include "bridge/photos/disk_library.h"
#include "bridge/photos/isolated.h"
#include "bridge/photos/media/exiv2_setup.h"
#include "inventory/scan.h"
#include "kit/bench_kit.h"
#include "support/raw_files.h"
#include "support/temp_dir.h"
#include "bridge/worker_mode.h"

namespace fs = std::filesystem;
using namespace velmora::bench;

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

int run(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
                 shellQuoted(file)) == 0;
    } else if (std::string(kind.name) == "png") {
      VipsImage* shifted = nullptr;
      const double scale[3] = {1, 1, 1};
      const double shift[3] = {static_cast<double>(i * 9 % 40), 0, 0};
      made =
          vipsOk(vips_linear(screen, &shifted, scale, shift, 3, "uchar", TRUE, nullptr), "linear") &&
          vipsOk(vips_pngsave(shifted, file.c_str(), "compression", 6, nullptr), "pngsave");
      if (shifted) g_object_unref(shifted);
    } else {
      VipsImage* picture = grainedPhoto(base, i);
      if (picture) {
        made = std::string(kind.name) == "jpeg"
                   ? vipsOk(vips_jpegsave(picture, file.c_str(), "Q", 90, nullptr), "jpegsave")
                   : vipsOk(vips_heifsave(picture, file.c_str(), "Q", 50, nullptr), "heifsave");
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

struct ScanRun {
  int records = -1;
  double seconds = 0;
  long peakKiB = 0;  // resident, of the child
};

// A "Key:   N kB" line of a file under /proc/<pid>/.
long procKiB(pid_t pid, const char* file, std::string_view key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(key)) return std::atol(line.c_str() + key.size());
  }
  return 0;
}

// This process's peak resident memory since it started its program. The
// peak wait4 reports for a child also counts the parent's pages it held
// between fork and exec, so each child reports its own.
long ownPeakKiB() { return procKiB(::getpid(), "status", "VmHWM:"); }

// Runs this program with `arguments` in a child process.
CapturedRun runChild(const char* self, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv{self};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return runCapturing(argv);
}

// Scans `pictures` with the given number of workers in a child process
// (this program's --scan form), which reports its records and peak memory.
ScanRun timeScan(const char* self, const fs::path& pictures, const fs::path& previews,
                 unsigned workers, bool inWorkers = true) {
  fs::remove_all(previews);
  fs::create_directories(previews);
  ScanRun result;
  const auto start = Clock::now();
  std::vector<std::string> arguments{"--scan", pictures.string(), previews.string(),
                                     std::to_string(workers)};
  if (!inWorkers) arguments.push_back("--in-process");
  const CapturedRun child = runChild(self, arguments);
  result.seconds = secondsSince(start);
  if (child.ok && std::sscanf(child.out.c_str(), "%d %ld", &result.records, &result.peakKiB) != 2) {
    result.records = -1;
  }
  return result;
}

// The child: one scan, in this process, through the library's own action.
int scanChild(const fs::path& pictures, const fs::path& previews, unsigned workers,
              bool inWorkers = true) {
  velmora::photos::setReadsInWorkers(inWorkers);
  velmora::photos::DiskLibrary library(pictures);
  std::size_t records = 0;
  const int status = velmora::inventory::scanAction(
      {"velmora-bridge", "scan", previews.string()}, library,
      [&](const velmora::bridge::Json& line) {
        // Serialised as the real run would, then dropped.
        const std::string text = velmora::bridge::jsonLine(line);
        if (line.contains("items")) records = line["items"].size();
      },
      workers);
  std::printf("%zu %ld\n", records, ownPeakKiB());
  return status;
}

// The standalone tools on every file: one after another, or `parallel`
// files at a time through xargs.
double timeTools(const std::vector<fs::path>& files, const fs::path& work, unsigned parallel) {
  fs::remove_all(work);
  fs::create_directories(work);
  const fs::path one = work / "one.sh";
  {
    std::ofstream out(one);
    out << "#!/bin/sh\n"
        << "vipsthumbnail -s 600x600 \"$1\" -o \"$2[Q=80]\" >/dev/null 2>&1\n"
        << "sha256sum \"$1\" >/dev/null 2>&1\n"
        << "zbarimg -q -Sdisable -Sqrcode.enable \"$2\" >/dev/null 2>&1\n"
        << "exit 0\n";
  }
  const fs::path list = work / "files.txt";
  {
    std::ofstream out(list);
    int n = 0;
    for (const fs::path& file : files) {
      out << file.string() << "\n" << (work / (std::to_string(n++) + ".jpg")).string() << "\n";
    }
  }
  const auto start = std::chrono::steady_clock::now();
  run("xargs -d '\\n' -n 2 -P " + std::to_string(parallel) + " sh " + shellQuoted(one) + " < " +
      shellQuoted(list));
  return secondsSince(start);
}

// The child of the per-file part: the attributes or the preview of the one
// asset in `pictures`, `repeats` times (0: none, for the memory of a
// process that only starts). Prints seconds per file, its peak resident
// KiB, then what the last one gave.
int pathChild(const fs::path& pictures, const std::string& what, int repeats) {
  velmora::photos::DiskLibrary library(pictures);
  const std::vector<velmora::photos::Asset> assets = library.fetchAll();
  if (assets.size() != 1) return 2;
  char found[96] = "-";
  // One round first, untimed: it starts the libraries, which a scan does
  // once per process.
  auto start = std::chrono::steady_clock::now();
  for (int i = repeats > 0 ? -1 : 0; i < repeats; ++i) {
    if (i == 0) start = std::chrono::steady_clock::now();
    if (what == "attributes") {
      const velmora::photos::AssetAttributes attributes = library.attributes(assets[0]);
      const std::time_t created = static_cast<std::time_t>(attributes.creationDate.value_or(0));
      char date[32] = "no date";
      std::tm utc{};
      if (attributes.creationDate && ::gmtime_r(&created, &utc)) {
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%SZ", &utc);
      }
      std::snprintf(found, sizeof found, "%llux%llu %s",
                    static_cast<unsigned long long>(attributes.pixelWidth),
                    static_cast<unsigned long long>(attributes.pixelHeight), date);
    } else if (repeats > 0) {
      const auto preview = library.requestImage(assets[0], 600, 600);
      if (preview) {
        std::snprintf(found, sizeof found, "%ux%u", preview->width, preview->height);
      } else {
        std::snprintf(found, sizeof found, "none");
      }
    }
  }
  std::printf("%.6f %ld %s\n", repeats > 0 ? secondsSince(start) / repeats : 0.0, ownPeakKiB(), found);
  return 0;
}

// A copy of `file` with XMP written into it through Exiv2.
bool withXmp(const fs::path& file, const std::string& key, const std::string& value) {
  try {
    velmora::photos::startExiv2();
    auto image = Exiv2::ImageFactory::open(file.string());
    image->readMetadata();
    image->xmpData()[key] = value;
    image->writeMetadata();
    return true;
  } catch (...) {
    return false;
  }
}

struct PathCase {
  std::string name;
  fs::path pictures;
};

// One folder per road, each holding one asset.
std::vector<PathCase> makePathCases(const fs::path& root, const fs::path& testdata,
                                    VipsImage* base) {
  std::vector<PathCase> cases;
  fs::create_directories(root);
  const auto folder = [&](const std::string& name) {
    const fs::path pictures = root / ("case" + std::to_string(cases.size())) / "Pictures";
    fs::create_directories(pictures);
    cases.push_back({name, pictures});
    return pictures;
  };
  const auto sample = [&](const std::string& name, const std::string& relative,
                          const std::string& as) {
    fs::path file = testdata / relative;
    if (!fs::exists(file)) file = velmora::testing::outsideSample(relative);
    if (file.empty()) return;
    fs::copy_file(file, folder(name) / as);
  };

  // 12-megapixel JPEGs: EXIF date (the usual road), XMP date only, date in
  // a sidecar only.
  VipsImage* picture = grainedPhoto(base, 7);
  const fs::path plain = root / "plain.jpg";
  if (!picture ||
      !vipsOk(vips_jpegsave(picture, plain.c_str(), "Q", 90, "strip", TRUE, nullptr), "jpegsave")) {
    std::exit(1);
  }
  g_object_unref(picture);
  const fs::path exifDated = folder("JPEG 12 MP, EXIF date") / "IMG_0001.JPG";
  fs::copy_file(plain, exifDated);
  try {
    velmora::photos::startExiv2();
    auto image = Exiv2::ImageFactory::open(exifDated.string());
    image->readMetadata();
    image->exifData()["Exif.Photo.DateTimeOriginal"] = "2021:06:01 10:00:00";
    image->writeMetadata();
  } catch (...) {
    std::exit(1);
  }
  const fs::path xmpDated = folder("JPEG 12 MP, XMP date only") / "IMG_0002.JPG";
  fs::copy_file(plain, xmpDated);
  if (!withXmp(xmpDated, "Xmp.xmp.CreateDate", "2021-06-01T10:00:00+02:00")) std::exit(1);
  const fs::path sidecarDated = folder("JPEG 12 MP, date in sidecar") / "IMG_0003.JPG";
  fs::copy_file(plain, sidecarDated);
  velmora::testing::writeFile(
      sidecarDated.parent_path() / "IMG_0003.xmp",
      "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
      "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
      "rdf:about=\"\" xmlns:photoshop=\"http://ns.adobe.com/photoshop/1.0/\" "
      "photoshop:DateCreated=\"2021-06-01\"/></rdf:RDF></x:xmpmeta>");

  sample("PNG truncated, header size", "bad/truncated/truncated_image.png", "cut.png");
  sample("JPEG, ICC after frame header", "bad/corrupt/icc-after-SOF.jpg", "icc.jpg");
  sample("MPO stereo", "photos/jpeg/frozenpond.mpo", "DSCF0001.MPO");

  // DNGs of 24 megapixels with a 1600 x 1067 preview: one Exiv2 reads (the
  // usual road), one only LibRaw reads.
  VipsImage* small = nullptr;
  void* jpeg = nullptr;
  std::size_t jpegSize = 0;
  if (!vipsOk(vips_resize(base, &small, 1600.0 / 4000, nullptr), "resize") ||
      !vipsOk(vips_jpegsave_buffer(small, &jpeg, &jpegSize, "Q", 85, nullptr), "jpegsave")) {
    std::exit(1);
  }
  velmora::testing::DngFile dng;
  dng.sensorWidth = 6000;
  dng.sensorHeight = 4000;
  dng.previewJpeg.assign(static_cast<const char*>(jpeg), jpegSize);
  dng.previewWidth = static_cast<std::uint32_t>(vips_image_get_width(small));
  dng.previewHeight = static_cast<std::uint32_t>(vips_image_get_height(small));
  dng.orientation = 6;
  dng.dateTimeOriginal = "2021:06:01 10:00:00";
  dng.offsetTimeOriginal = "+02:00";
  g_free(jpeg);
  g_object_unref(small);
  velmora::testing::writeDng(folder("DNG 24 MP, Exiv2") / "DSC_0001.DNG", dng);
  dng.unknownToExiv2 = true;
  velmora::testing::writeDng(folder("DNG 24 MP, LibRaw only") / "DSC_0002.DNG", dng);

  sample("CR3 sample, metadata only", "photos/raw/CanonRaw.cr3", "IMG_0001.CR3");
  // The same CR3 with a 6000 x 4000 JPEG where the camera keeps its picture.
  void* full = nullptr;
  std::size_t fullSize = 0;
  VipsImage* large = nullptr;
  if (vipsOk(vips_resize(base, &large, 1.5, "vscale", 4000.0 / 3000, nullptr), "resize") &&
      vipsOk(vips_jpegsave_buffer(large, &full, &fullSize, "Q", 90, nullptr), "jpegsave")) {
    const std::string cr3 =
        velmora::testing::cr3WithPicture(std::string(static_cast<const char*>(full), fullSize));
    if (!cr3.empty()) {
      velmora::testing::writeFile(folder("CR3 sample + 6000x4000 JPEG") / "IMG_0002.CR3", cr3);
    }
  }
  if (full) g_free(full);
  if (large) g_object_unref(large);

  sample("3GP H.263 176x144, 12:11 pixels", "video/bbb_176x144_128kbps_15fps_h263.3gp", "clip.3gp");
  const fs::path video = folder("MP4 H.264 1080p 3 s") / "MOV_0001.mp4";
  if (run("ffmpeg -nostdin -v quiet -f lavfi -i testsrc2=size=1920x1080:rate=30 -t 3 "
          "-c:v libx264 -preset veryfast -pix_fmt yuv420p " +
          shellQuoted(video)) != 0) {
    std::exit(1);
  }
  return cases;
}

void printPaths(const char* self, const fs::path& root, const fs::path& testdata, VipsImage* base) {
  struct Answer {
    double ms = -1;
    long peakKiB = 0;
    std::string found = "failed";
  };
  const auto ask = [&](const fs::path& pictures, const char* what, const char* repeats) {
    const CapturedRun child = runChild(self, {"--path", pictures.string(), what, repeats});
    Answer answer;
    double seconds = 0;
    int consumed = 0;
    if (child.ok &&
        std::sscanf(child.out.c_str(), "%lf %ld %n", &seconds, &answer.peakKiB, &consumed) == 2) {
      answer.ms = seconds * 1000;
      answer.found = child.out.substr(static_cast<std::size_t>(consumed));
      while (!answer.found.empty() && answer.found.back() == '\n') answer.found.pop_back();
    }
    return answer;
  };
  const std::vector<PathCase> cases = makePathCases(root / "paths", testdata, base);
  const Answer alone = ask(cases.front().pictures, "preview", "0");
  std::printf("\nper file, one road per child process (a process doing nothing: %ld MiB)\n",
              alone.peakKiB / 1024);
  std::printf("%-32s %9s  %-18s %-34s  %-18s %s\n", "file", "size", "attributes ms (MiB)", "found",
              "preview ms (MiB)", "found");
  for (const PathCase& c : cases) {
    std::uintmax_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(c.pictures)) bytes += entry.file_size();
    const Answer attributes = ask(c.pictures, "attributes", "20");
    const Answer preview = ask(c.pictures, "preview", "5");
    char attributesCell[32], previewCell[32];
    std::snprintf(attributesCell, sizeof attributesCell, "%.2f (%ld)", attributes.ms,
                  attributes.peakKiB / 1024);
    std::snprintf(previewCell, sizeof previewCell, "%.2f (%ld)", preview.ms,
                  preview.peakKiB / 1024);
    std::printf("%-32s %7.2f MB  %-18s %-34s  %-18s %s\n", c.name.c_str(), bytes / 1e6,
                attributesCell, attributes.found.c_str(), previewCell, preview.found.c_str());
    std::fflush(stdout);
  }
}

// ---- CPU per photo and the memory of the whole run ----------------------

// One run of a bridge executable: its CPU time together with the workers
// it started (this process is their subreaper, so their times are counted
// once they are reaped) and its own, its wall time, and the peak of the resident memory
// of the bridge and its workers summed, sampled every 10 ms.
struct BridgeRun {
  bool ok = false;
  double cpuSeconds = 0;
  double ownCpuSeconds = 0;  // the bridge alone, and the workers it retired and reaped
  double seconds = 0;
  long peakKiB = 0;
  long peakProportionalKiB = 0;
  std::string lastLine;
};

long residentKiB(pid_t pid) { return procKiB(pid, "status", "VmRSS:"); }

// The process's proportional share of the memory it shares with others
// (libraries mapped by the bridge and its workers alike count once).
long proportionalKiB(pid_t pid) { return procKiB(pid, "smaps_rollup", "Pss:"); }

// The bridge and the processes it started (its workers), summed: resident
// memory, or with `proportional` each one's share of it.
long treeKiB(pid_t pid, bool proportional = false) {
  long total = proportional ? proportionalKiB(pid) : residentKiB(pid);
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream children(task.path() / "children");
    for (pid_t child; children >> child;) total += treeKiB(child, proportional);
  }
  return total;
}

double cpuOfChildren() { return usedCpuSeconds(RUSAGE_CHILDREN); }

// `bridge scan <previews>` with `home` as HOME (its Pictures is the
// library) and the scan cache off.
BridgeRun runBridge(const std::string& bridge, const fs::path& home, const fs::path& previews) {
  fs::remove_all(previews);
  fs::create_directories(previews);
  const fs::path out = previews.string() + ".out";
  BridgeRun result;
  const double cpuBefore = cpuOfChildren();
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    const int lines = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int quiet = ::open("/dev/null", O_WRONLY);
    if (lines < 0 || quiet < 0) ::_exit(127);
    ::dup2(lines, 1);
    ::dup2(quiet, 2);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    ::setenv("VELMORA_SCAN_CACHE", "off", 1);
    ::execl(bridge.c_str(), bridge.c_str(), "scan", previews.c_str(), nullptr);
    ::_exit(127);
  }
  int status = 0;
  for (;;) {
    result.peakKiB = std::max(result.peakKiB, treeKiB(child));
    result.peakProportionalKiB = std::max(result.peakProportionalKiB, treeKiB(child, true));
    rusage own{};
    const pid_t done = ::wait4(child, &status, WNOHANG, &own);
    if (done == child) {
      result.ownCpuSeconds = usedCpuSeconds(own);
    }
    if (done == child || done < 0) break;
    ::usleep(10'000);
  }
  result.seconds = secondsSince(start);
  // The workers end when the bridge has gone; reaped here, their time counts.
  while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  result.cpuSeconds = cpuOfChildren() - cpuBefore;
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  const std::string lines = readWhole(out);
  const std::size_t last = lines.rfind('\n', lines.size() >= 2 ? lines.size() - 2 : 0);
  result.lastLine = lines.substr(last == std::string::npos ? 0 : last + 1);
  return result;
}

// A camera's JPEG: 12 megapixels, distinct bytes, light grain (about
// 1.5 MB at quality 90), with the EXIF a camera writes.
bool cameraJpeg(VipsImage* base, int index, const fs::path& file) {
  VipsImage* picture = grainedPhoto(base, index, 1.0);
  const bool saved =
      picture && vipsOk(vips_jpegsave(picture, file.c_str(), "Q", 90, nullptr), "jpegsave");
  if (picture) g_object_unref(picture);
  if (!saved) return false;
  try {
    velmora::photos::startExiv2();
    auto image = Exiv2::ImageFactory::open(file.string());
    image->readMetadata();
    Exiv2::ExifData& exif = image->exifData();
    exif["Exif.Image.Make"] = "Canon";
    exif["Exif.Image.Model"] = "Canon EOS 90D";
    exif["Exif.Image.Orientation"] = std::uint16_t{1};
    char date[32];
    std::snprintf(date, sizeof date, "2023:07:%02d 10:%02d:%02d", 1 + index % 28, index / 60 % 60,
                  index % 60);
    exif["Exif.Photo.DateTimeOriginal"] = date;
    exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
    exif["Exif.Photo.FNumber"] = Exiv2::URational(56, 10);
    image->writeMetadata();
    return true;
  } catch (...) {
    return false;
  }
}

double threadCpuSeconds() { return clockCpuSeconds(CLOCK_THREAD_CPUTIME_ID); }
// All threads of this process: libvips works on threads of its own.
double processCpuSeconds() { return clockCpuSeconds(CLOCK_PROCESS_CPUTIME_ID); }

// libjpeg's own decode of `bytes` scaled by 1/`denominator` (the DCT
// scaling djpeg -scale uses), to RGB rows that are thrown away.
struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf failed;
};

bool decodeScaled(const std::string& bytes, unsigned denominator) {
  jpeg_decompress_struct info{};
  JpegErrors errors{};
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = [](j_common_ptr common) {
    std::longjmp(reinterpret_cast<JpegErrors*>(common->err)->failed, 1);
  };
  errors.manager.output_message = [](j_common_ptr) {};
  if (setjmp(errors.failed) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  jpeg_read_header(&info, TRUE);
  info.scale_num = 1;
  info.scale_denom = denominator;
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  // Rows from libjpeg's own pool, which goes with the decompressor.
  JSAMPARRAY rows = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                               info.output_width * info.output_components, 1);
  while (info.output_scanline < info.output_height) jpeg_read_scanlines(&info, rows, 1);
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

// What no scan of these files can go below, per file: the decode at 1/4
// and at 1/2 (the scale libvips' thumbnailer decodes a 4000 x 3000 JPEG at
// for a 600 x 600 box: it leaves a factor of two for its own reduce), and
// SHA-256 of the bytes; then libvips' thumbnailer alone, which makes the
// pixels of the preview the scan must write.
void printFloor(const std::vector<fs::path>& files) {
  double quarter = 0, half = 0, hashing = 0, thumbnailing = 0, megabytes = 0;
  for (const fs::path& file : files) {
    const std::string bytes = readWhole(file);
    megabytes += bytes.size() / 1e6;
    double start = threadCpuSeconds();
    decodeScaled(bytes, 4);
    quarter += threadCpuSeconds() - start;
    start = threadCpuSeconds();
    decodeScaled(bytes, 2);
    half += threadCpuSeconds() - start;
    start = threadCpuSeconds();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    hashing += threadCpuSeconds() - start;
    start = processCpuSeconds();
    VipsImage* thumbnail = nullptr;
    if (vips_thumbnail_buffer(const_cast<char*>(bytes.data()), bytes.size(), &thumbnail, 600,
                              "height", 600, "size", VIPS_SIZE_DOWN, nullptr) == 0) {
      std::size_t size = 0;
      g_free(vips_image_write_to_memory(thumbnail, &size));
      g_object_unref(thumbnail);
    }
    thumbnailing += processCpuSeconds() - start;
  }
  const double n = static_cast<double>(files.size());
  std::printf("camera JPEGs of %.2f MB on average; per file, libjpeg decoding at 1/4 %.1f ms, at "
              "1/2 %.1f ms, SHA-256 %.1f ms; libvips' 600 x 600 thumbnail %.1f ms\n",
              megabytes / n, 1000 * quarter / n, 1000 * half / n, 1000 * hashing / n,
              1000 * thumbnailing / n);
}

// `count` entries in `pictures`, hard links to `files` in turn.
void linkInto(const std::vector<fs::path>& files, int count, const fs::path& pictures) {
  fs::create_directories(pictures);
  for (int i = 0; i < count; ++i) {
    const fs::path& file = files[static_cast<std::size_t>(i) % files.size()];
    fs::create_hard_link(file, pictures / (std::to_string(i) + "_" + file.filename().string()));
  }
}

// CPU per photo and peak memory of this build's bridge, and of `baseline`
// (another build's executable) when given, scanning the same libraries in
// turns: camera JPEGs, HEICs, a phone's mixed library, and the camera
// JPEGs linked ten times over for the memory of a large library.
int printCpu(const fs::path& root, VipsImage* base, VipsImage* screen, int photos,
             const std::string& baseline) {
  // Orphaned workers are reaped here, so their time is counted.
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  struct Library {
    std::string name;
    fs::path home;
    int assets;
  };
  std::vector<Library> libraries;
  const auto home = [&](const std::string& name) {
    const fs::path folder = root / "cpu" / name;
    fs::create_directories(folder / "Pictures");
    return folder;
  };
  const fs::path camera = home("camera");
  std::vector<fs::path> cameraFiles;
  for (int i = 0; i < photos; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "DCIM/100CANON/IMG_%04d.JPG", i);
    const fs::path file = camera / "Pictures" / name;
    fs::create_directories(file.parent_path());
    if (!cameraJpeg(base, i, file)) {
      std::fprintf(stderr, "scan_bench: could not make %s\n", file.c_str());
      return 1;
    }
    cameraFiles.push_back(file);
  }
  libraries.push_back({"camera JPEG", camera, photos});
  const fs::path heic = home("heic");
  const int heics = std::max(4, photos / 4);
  makeKind(kinds[1], heics, heic / "Pictures", base, screen);
  libraries.push_back({"HEIC", heic, heics});
  const fs::path mixed = home("mixed");
  int mixedCount = 0;
  for (const Kind& kind : kinds) {
    const int count = std::max(1, static_cast<int>(photos * kind.share + 0.5));
    const fs::path folder = root / "cpu" / "kinds" / kind.name;
    const std::vector<fs::path> files =
        std::string(kind.name) == "jpeg"
            ? std::vector<fs::path>(cameraFiles.begin(),
                                    cameraFiles.begin() + std::min(count, photos))
            : makeKind(kind, count, folder, base, screen);
    linkInto(files, count, mixed / "Pictures" / kind.name);
    mixedCount += count;
  }
  libraries.push_back({"mixed", mixed, mixedCount});
  const fs::path large = home("large");
  linkInto(cameraFiles, photos * 10, large / "Pictures");
  libraries.push_back({"camera x10", large, photos * 10});

  std::vector<std::pair<std::string, std::string>> builds{{"this build", VELMORA_BRIDGE_EXE}};
  if (!baseline.empty()) builds.insert(builds.begin(), {"baseline", baseline});
  const LoadAverage load = loadAverage();
  std::printf("\nCPU per asset: the bridge and its workers (the bridge alone), user and system, "
              "best of 2; peak memory of the bridge and its workers summed, resident and "
              "proportional (shared libraries once); load %s %s %s\n",
              load.one.c_str(), load.five.c_str(), load.fifteen.c_str());
  const std::size_t floorFiles = std::min<std::size_t>(40, cameraFiles.size());
  printFloor(std::vector<fs::path>(cameraFiles.begin(), cameraFiles.begin() + floorFiles));
  std::printf("%-11s %6s", "library", "assets");
  for (const auto& build : builds) {
    std::printf("  %-38s", (build.first + ": CPU ms (bridge), RSS/PSS MiB, s").c_str());
  }
  std::printf("\n");
  bool same = true;
  for (const Library& library : libraries) {
    std::vector<BridgeRun> best(builds.size());
    const int rounds = library.assets > photos * 2 ? 1 : 2;
    for (int round = 0; round < rounds; ++round) {
      for (std::size_t b = 0; b < builds.size(); ++b) {
        const BridgeRun run = runBridge(builds[b].second, library.home,
                                        library.home / ("previews" + std::to_string(b)));
        if (!run.ok) same = false;
        BridgeRun& kept = best[b];
        const long peak = std::max(kept.peakKiB, run.peakKiB);
        const long proportional = std::max(kept.peakProportionalKiB, run.peakProportionalKiB);
        if (round == 0 || run.cpuSeconds < kept.cpuSeconds) kept = run;
        kept.peakKiB = peak;
        kept.peakProportionalKiB = proportional;
      }
    }
    std::printf("%-11s %6d", library.name.c_str(), library.assets);
    for (const BridgeRun& run : best) {
      char cell[64];
      std::snprintf(cell, sizeof cell, "%6.1f (%5.1f) %5ld/%-5ld %6.1f",
                    1000 * run.cpuSeconds / library.assets,
                    1000 * run.ownCpuSeconds / library.assets, run.peakKiB / 1024,
                    run.peakProportionalKiB / 1024, run.seconds);
      std::printf("  %-38s", cell);
    }
    if (builds.size() == 2) {
      const bool identical = best[0].lastLine == best[1].lastLine &&
                             samePreviews(library.home / "previews0", library.home / "previews1");
      std::printf("%s", identical ? "output identical" : "OUTPUT DIFFERS");
      same = same && identical;
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  return same ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  // The library's reads run in workers started from this program.
  if (const auto status = velmora::bridge::runWorkerIfStartedAsOne()) return *status;
  if ((argc == 5 || argc == 6) && std::string(argv[1]) == "--scan") {
    return scanChild(argv[2], argv[3], static_cast<unsigned>(std::max(1, std::atoi(argv[4]))),
                     argc == 5);
  }
  if (argc == 5 && std::string(argv[1]) == "--path") {
    return pathChild(argv[2], argv[3], std::max(0, std::atoi(argv[4])));
  }
  int total = 500;
  bool keep = false;
  bool pathsOnly = false;
  bool cpuOnly = false;
  std::string baseline;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--keep")
      keep = true;
    else if (std::string(argv[i]) == "--paths-only")
      pathsOnly = true;
    else if (std::string(argv[i]) == "--cpu")
      cpuOnly = true;
    else if (std::string(argv[i]) == "--baseline" && i + 1 < argc)
      baseline = argv[++i];
    else
      total = std::max(4, std::atoi(argv[i]));
  }
  if (!velmora::base::ensureVips()) return 1;
  const fs::path testdata = VELMORA_TESTDATA;
  const fs::path root = fs::temp_directory_path() / ("scan_bench." + std::to_string(::getpid()));

  VipsImage* base = nullptr;
  VipsImage* screen = nullptr;
  if (!loadSamplePictures(testdata, &base, &screen)) return 1;

  if (cpuOnly) {
    const int status = printCpu(root, base, screen, total, baseline);
    if (keep) std::printf("kept: %s\n", root.c_str());
    g_object_unref(base);
    g_object_unref(screen);
    if (!keep) fs::remove_all(root);
    return status;
  }

  if (pathsOnly) {
    printPaths(argv[0], root, testdata, base);
    if (keep) std::printf("kept: %s\n", root.c_str());
    g_object_unref(base);
    g_object_unref(screen);
    if (!keep) fs::remove_all(root);
    return 0;
  }

  const unsigned all = processors();
  std::printf("library of %d assets under %s; %u processors online\n", total, root.c_str(), all);
  std::printf("assets per second (peak resident MiB of the scan):\n");
  std::printf("%-6s %6s %15s %15s %7s %9s %9s\n", "kind", "assets", "scan 1 worker",
              ("scan " + std::to_string(all) + " workers").c_str(), "ratio", "tools", "tools -P");
  int made = 0;
  std::vector<fs::path> everything;
  double oneTotal = 0;
  double allTotal = 0;
  double toolsTotal = 0;
  double toolsParallelTotal = 0;
  long onePeak = 0;
  long allPeak = 0;
  bool recordsMatch = true;
  const auto cell = [](double rate, long kib) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f (%ld)", rate, kib / 1024);
    return std::string(text);
  };
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
    // A folder per kind, so each kind's scan can be timed on its own.
    const fs::path pictures = root / kind.name / "Pictures";
    const std::vector<fs::path> files = makeKind(kind, count, pictures, base, screen);
    everything.insert(everything.end(), files.begin(), files.end());
    const ScanRun one = timeScan(argv[0], pictures, root / kind.name / "previews", 1);
    const ScanRun many = timeScan(argv[0], pictures, root / kind.name / "previews", all);
    const double toolsSeconds = timeTools(files, root / kind.name / "tools", 1);
    const double parallelSeconds = timeTools(files, root / kind.name / "tools", all);
    recordsMatch = recordsMatch && one.records == count && many.records == count;
    std::printf("%-6s %6d %15s %15s %6.2fx %9.2f %9.2f%s\n", kind.name, count,
                cell(count / one.seconds, one.peakKiB).c_str(),
                cell(count / many.seconds, many.peakKiB).c_str(), one.seconds / many.seconds,
                count / toolsSeconds, count / parallelSeconds,
                one.records == count && many.records == count ? "" : "  (record count differs!)");
    oneTotal += one.seconds;
    allTotal += many.seconds;
    toolsTotal += toolsSeconds;
    toolsParallelTotal += parallelSeconds;
    onePeak = std::max(onePeak, one.peakKiB);
    allPeak = std::max(allPeak, many.peakKiB);
    std::fflush(stdout);
  }
  std::printf("%-6s %6d %15s %15s %6.2fx %9.2f %9.2f\n", "total", made,
              cell(made / oneTotal, onePeak).c_str(), cell(made / allTotal, allPeak).c_str(),
              oneTotal / allTotal, made / toolsTotal, made / toolsParallelTotal);

  // All kinds in one library, as users have them: no worker waits at the end
  // of a short run of one kind. Hard links, so nothing is copied.
  const fs::path mixed = root / "mixed" / "Pictures";
  fs::create_directories(mixed);
  std::vector<fs::path> linked;
  for (std::size_t i = 0; i < everything.size(); ++i) {
    linked.push_back(mixed / (std::to_string(i) + "_" + everything[i].filename().string()));
    fs::create_hard_link(everything[i], linked.back());
  }
  const ScanRun mixedOne = timeScan(argv[0], mixed, root / "mixed" / "previews", 1);
  const ScanRun mixedAll = timeScan(argv[0], mixed, root / "mixed" / "previews", all);
  const double mixedTools = timeTools(linked, root / "mixed" / "tools", 1);
  const double mixedToolsParallel = timeTools(linked, root / "mixed" / "tools", all);
  recordsMatch = recordsMatch && mixedOne.records == made && mixedAll.records == made;
  std::printf("%-6s %6d %15s %15s %6.2fx %9.2f %9.2f\n", "mixed", made,
              cell(made / mixedOne.seconds, mixedOne.peakKiB).c_str(),
              cell(made / mixedAll.seconds, mixedAll.peakKiB).c_str(),
              mixedOne.seconds / mixedAll.seconds, made / mixedTools, made / mixedToolsParallel);

  // What parsing in sandboxed workers costs: the same cold scan of the
  // mixed library with the reads in worker processes and in the scan's own
  // process, taken in turns (best of three each).
  double inWorkers = 1e30, inProcess = 1e30;
  long workersPeak = 0, processPeak = 0;
  for (int round = 0; round < 3; ++round) {
    const ScanRun sandboxed = timeScan(argv[0], mixed, root / "mixed" / "previews", all, true);
    const ScanRun direct = timeScan(argv[0], mixed, root / "mixed" / "previews", all, false);
    recordsMatch = recordsMatch && sandboxed.records == made && direct.records == made;
    if (sandboxed.seconds < inWorkers) inWorkers = sandboxed.seconds;
    if (direct.seconds < inProcess) inProcess = direct.seconds;
    workersPeak = std::max(workersPeak, sandboxed.peakKiB);
    processPeak = std::max(processPeak, direct.peakKiB);
  }
  std::printf("cold scan of the mixed library, %u workers: reads in worker processes %.2f "
              "assets/s, in the scan's process %.2f assets/s: %+.1f %% time (peak MiB of the "
              "scan's own process %ld, %ld)\n",
              all, made / inWorkers, made / inProcess, 100 * (inWorkers / inProcess - 1),
              workersPeak / 1024, processPeak / 1024);

  printPaths(argv[0], root, testdata, base);
  if (keep) std::printf("kept: %s\n", root.c_str());
  g_object_unref(base);
  g_object_unref(screen);
  if (!keep) fs::remove_all(root);
  return recordsMatch ? 0 : 2;
}
