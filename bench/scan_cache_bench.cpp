// What the scan cache costs and saves, side by side in one run.
//
//   scan_cache_bench [assets] [--keep] [--no-uncached] [--fuse]
//
// Builds a mixed library of `assets` files (default 2000) as phones fill
// one: 12-megapixel JPEGs and HEICs, PNG screenshots and short 1080p videos.
// A few of each kind are encoded; the rest are hard links to them (the scan
// cannot tell, and 20,000 12-megapixel files would not fit on the disk).
// Then the built bridge scans it, each scan a process of its own (started
// through this program's --launch form, which reports its peak memory)
// with its own home and cache folder:
//   1. the first scan without a cache (VELMORA_SCAN_CACHE=off),
//   2. the first scan with an empty cache, which fills it,
//   3. a second scan with the warm cache,
//   4. a scan after 1 % of the files got new contents,
// printing seconds, assets per second, peak resident memory and the load
// average, whether the lines and previews of 1 to 3 are the same byte for
// byte, and the cache's bytes per asset. Last, the previews of the first
// scan are stored and read back both as SQLite blobs and as files beside a
// database, which is how the cache could keep them.
//
// --no-uncached leaves out scan 1 (for 20,000 assets it alone takes an hour
// on 2 cores); the warm and changed scans are then compared with scan 2.
// --fuse shows the bridge the library through bindfs with sshfs's rule for
// change times (--ctime-from-mtime): a file system whose times the cache
// does not trust, where a hit needs the files' fingerprint (root, bindfs).
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/sqlite.h"
#include "base/vips.h"
#include "inventory/scan_cache.h"
#include "kit/bench_kit.h"
#include "bridge/worker_mode.h"

namespace fs = std::filesystem;
using namespace velmora::bench;

namespace {

struct Kind {
  const char* name;
  double share;
  int distinct;  // files actually encoded; the rest link to them
};

// "1-minute/5-minute" load average.
std::string loadText() {
  const LoadAverage load = loadAverage();
  return load.one + "/" + load.five;
}

const Kind kinds[] = {
    {"jpeg", 0.76, 40},
    {"heic", 0.14, 3},
    {"png", 0.08, 6},
    {"video", 0.02, 3},
};

bool encode(const Kind& kind, int index, const fs::path& file, VipsImage* base, VipsImage* screen) {
  const std::string name = kind.name;
  if (name == "video") {
    const std::string command =
        "ffmpeg -nostdin -v quiet -f lavfi -i testsrc2=size=1920x1080:rate=30 -t 3 -vf hue=h=" +
        std::to_string(index * 40) + " -c:v libx264 -preset veryfast -pix_fmt yuv420p " +
        shellQuoted(file);
    return std::system(command.c_str()) == 0;
  }
  if (name == "png") {
    VipsImage* shifted = nullptr;
    const double scale[3] = {1, 1, 1};
    const double shift[3] = {static_cast<double>(index * 9 % 40), 0, 0};
    const bool made =
        vipsOk(vips_linear(screen, &shifted, scale, shift, 3, "uchar", TRUE, nullptr), "linear") &&
        vipsOk(vips_pngsave(shifted, file.c_str(), "compression", 6, nullptr), "pngsave");
    if (shifted) g_object_unref(shifted);
    return made;
  }
  VipsImage* picture = grainedPhoto(base, index);
  if (!picture) return false;
  const bool made = name == "jpeg"
                        ? vipsOk(vips_jpegsave(picture, file.c_str(), "Q", 90, nullptr), "jpegsave")
                        : vipsOk(vips_heifsave(picture, file.c_str(), "Q", 50, nullptr), "heifsave");
  g_object_unref(picture);
  return made;
}

fs::path assetPath(const fs::path& pictures, const Kind& kind, int index) {
  char name[160];
  const std::string kindName = kind.name;
  if (kindName == "jpeg") {
    std::snprintf(name, sizeof name, "DCIM/100APPLE/IMG_%05d.JPG", index);
  } else if (kindName == "heic") {
    std::snprintf(name, sizeof name, "DCIM/101APPLE/IMG_%05d.HEIC", index);
  } else if (kindName == "png") {
    std::snprintf(name, sizeof name, "Screenshots/Screenshot from 2024-05-%02d 10-%02d-%02d-%d.png",
                  1 + index % 28, index / 60 % 60, index % 60, index);
  } else {
    std::snprintf(name, sizeof name, "DCIM/102APPLE/MOV_%05d.mp4", index);
  }
  return pictures / name;
}

// Every hundredth asset, from the fiftieth on, changes before the last scan.
bool changes(std::size_t index) { return index % 100 == 50; }

struct Library {
  std::vector<fs::path> files;
  std::vector<std::vector<fs::path>> originals;  // per kind
  std::vector<std::size_t> kindOf;               // per file
};

Library makeLibrary(int total, const fs::path& pictures, const fs::path& originals, VipsImage* base,
                    VipsImage* screen) {
  Library library;
  int others = 0;
  for (std::size_t k = 1; k < std::size(kinds); ++k) {
    others += std::max(1, static_cast<int>(total * kinds[k].share + 0.5));
  }
  for (std::size_t k = 0; k < std::size(kinds); ++k) {
    const Kind& kind = kinds[k];
    const int count =
        k == 0 ? total - others : std::max(1, static_cast<int>(total * kind.share + 0.5));
    library.originals.emplace_back();
    for (int i = 0; i < kind.distinct; ++i) {
      const fs::path file = originals / (std::string(kind.name) + std::to_string(i) +
                                         assetPath("", kind, 0).extension().string());
      fs::create_directories(file.parent_path());
      if (!encode(kind, i, file, base, screen)) {
        std::fprintf(stderr, "scan_cache_bench: could not make %s\n", file.c_str());
        std::exit(1);
      }
      library.originals.back().push_back(file);
    }
    for (int i = 0; i < count; ++i) {
      const fs::path file = assetPath(pictures, kind, i);
      fs::create_directories(file.parent_path());
      const fs::path& original =
          library.originals.back()[static_cast<std::size_t>(i) % kind.distinct];
      // The assets that will change get copies of their own: a link to a
      // shared original would change the original's (and so every other
      // link's) change time when it goes.
      if (changes(library.files.size())) {
        fs::copy_file(original, file);
      } else {
        fs::create_hard_link(original, file);
      }
      library.files.push_back(file);
      library.kindOf.push_back(k);
    }
  }
  return library;
}

struct ScanRun {
  double seconds = 0;
  double cpuSeconds = 0;  // user and system: less swayed by other work on the machine
  long peakKiB = 0;
  int status = -1;
  std::string out;
  std::string loadBefore;
  std::string loadAfter;
};

// The launcher: runs the bridge's scan and reports its peak resident memory
// and exit status on standard error. A child forked from this benchmark
// would be charged the benchmark's own memory (a fork copies it); one
// forked from the freshly started launcher is not.
int launch(bool cached, const char* home, const char* cache, const char* previews) {
  const pid_t child = ::fork();
  if (child == 0) {
    const std::string homeVariable = std::string("HOME=") + home;
    const std::string configVariable = "XDG_CONFIG_HOME=" + (fs::path(home) / ".config").string();
    const std::string cacheVariable = std::string("XDG_CACHE_HOME=") + cache;
    std::vector<const char*> environment{homeVariable.c_str(), configVariable.c_str(),
                                         cacheVariable.c_str(), "PATH=/usr/bin:/bin",
                                         "LANG=C.UTF-8"};
    if (!cached) environment.push_back("VELMORA_SCAN_CACHE=off");
    environment.push_back(nullptr);
    ::execle(VELMORA_BRIDGE_EXE, VELMORA_BRIDGE_EXE, "scan", previews, nullptr, environment.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::fprintf(stderr, "%ld %d %.3f\n", usage.ru_maxrss,
               WIFEXITED(status) ? WEXITSTATUS(status) : -1, cpu);
  return 0;
}

ScanRun scan(const char* self, const fs::path& home, const fs::path& cache,
             const fs::path& previews, bool cached) {
  fs::remove_all(previews);
  fs::create_directories(previews);
  ScanRun result;
  result.loadBefore = loadText();
  int out[2];
  int report[2];
  if (::pipe(out) != 0 || ::pipe(report) != 0) return result;
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], 1);
    ::dup2(report[1], 2);
    for (const int fd : {out[0], out[1], report[0], report[1]}) ::close(fd);
    ::execl(self, self, "--launch", cached ? "1" : "0", home.c_str(), cache.c_str(),
            previews.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(report[1]);
  char buffer[65536];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) {
    result.out.append(buffer, static_cast<std::size_t>(n));
  }
  std::string reported;
  for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) {
    reported.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  ::close(report[0]);
  ::waitpid(child, nullptr, 0);
  result.seconds = secondsSince(start);
  if (std::sscanf(reported.c_str(), "%ld %d %lf", &result.peakKiB, &result.status,
                  &result.cpuSeconds) != 3) {
    result.status = -1;
  }
  result.loadAfter = loadText();
  return result;
}

std::uintmax_t diskBytes(const fs::path& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? static_cast<std::uintmax_t>(status.st_blocks) * 512
                                            : 0;
}

std::uintmax_t cacheBytes(const fs::path& cache) {
  const fs::path file = cache / "velmora-bridge" / velmora::inventory::scanCacheFileName;
  return diskBytes(file) + diskBytes(file.string() + "-wal");
}

void row(const char* what, int assets, const ScanRun& run) {
  std::printf("%-34s %9.1f %10.1f %9.1f %9ld   %s -> %s%s\n", what, run.seconds,
              assets / run.seconds, run.cpuSeconds, run.peakKiB / 1024, run.loadBefore.c_str(),
              run.loadAfter.c_str(), run.status == 0 ? "" : "  (failed!)");
  std::fflush(stdout);
}

struct Storage {
  double writeSeconds = 0;
  double readSeconds = 0;
  std::uintmax_t diskBytes = 0;
  bool whole = false;
};

// One of the two ways the cache could keep preview bytes, each with what it
// needs to find them again: blobs in the table, or files beside the
// database named by the table (written beside their target and renamed,
// since a crash must never leave half of one). WAL and synchronous=NORMAL
// as the cache runs, one transaction per preview as a scan keeps them.
Storage store(const std::vector<std::string>& jpegs, const std::vector<std::size_t>& order,
              const fs::path& folder, bool asFiles) {
  Storage result;
  fs::remove_all(folder);
  fs::create_directories(folder / "previews");
  velmora::base::SqliteDatabase database;
  if (database.open((folder / "store.sqlite").string()) != SQLITE_OK ||
      database.execute("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                       "CREATE TABLE kept (id TEXT PRIMARY KEY, data BLOB NOT NULL)") !=
          SQLITE_OK) {
    return result;
  }
  velmora::base::SqliteStatement insert =
      database.prepare("INSERT OR REPLACE INTO kept (id, data) VALUES (?1, ?2)");
  velmora::base::SqliteStatement select = database.prepare("SELECT data FROM kept WHERE id = ?1");
  const auto idOf = [](std::size_t i) { return "DCIM/100APPLE/IMG_" + std::to_string(i) + ".JPG"; };

  auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < jpegs.size(); ++i) {
    const std::string id = idOf(i);
    const std::string name = std::to_string(i) + ".jpg";
    if (asFiles) {
      const fs::path temporary = folder / "previews" / ("." + name + ".tmp");
      const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (fd < 0 || ::write(fd, jpegs[i].data(), jpegs[i].size()) < 0 || ::close(fd) != 0 ||
          ::rename(temporary.c_str(), (folder / "previews" / name).c_str()) != 0) {
        return result;
      }
      insert.bindText(1, id).bindBlob(2, name);
    } else {
      insert.bindText(1, id).bindBlob(2, jpegs[i]);
    }
    insert.step();
    insert.reset();
  }
  result.writeSeconds = secondsSince(start);

  std::size_t bytesRead = 0;
  std::size_t expected = 0;
  start = std::chrono::steady_clock::now();
  for (const std::size_t i : order) {
    const std::string id = idOf(i);  // bound, not copied: it must outlive the step
    select.bindText(1, id);
    if (select.step() == SQLITE_ROW) {
      const std::string data(select.blob(0));
      bytesRead += asFiles ? readWhole(folder / "previews" / data).size() : data.size();
    }
    select.reset();
    expected += jpegs[i].size();
  }
  result.readSeconds = secondsSince(start);
  insert = {};
  select = {};
  database.close();  // the last connection folds the WAL into the file

  result.diskBytes = diskBytes(folder / "store.sqlite");
  for (const auto& entry : fs::directory_iterator(folder / "previews")) {
    result.diskBytes += diskBytes(entry.path());
  }
  result.whole = bytesRead == expected;
  return result;
}

void compareStorage(const fs::path& previews, const fs::path& work) {
  std::vector<std::string> jpegs;
  for (const auto& entry : fs::directory_iterator(previews)) {
    jpegs.push_back(readWhole(entry.path()));
  }
  if (jpegs.empty()) return;
  std::size_t total = 0;
  for (const std::string& jpeg : jpegs) total += jpeg.size();
  std::vector<std::size_t> order(jpegs.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));

  // Three rounds, taking turns; the best of each, as the machine is shared.
  Storage best[2];
  for (int round = 0; round < 3; ++round) {
    for (const bool asFiles : {false, true}) {
      const Storage run = store(jpegs, order, work / (asFiles ? "files" : "blobs"), asFiles);
      Storage& kept = best[asFiles ? 1 : 0];
      if (round == 0 || run.writeSeconds < kept.writeSeconds) kept.writeSeconds = run.writeSeconds;
      if (round == 0 || run.readSeconds < kept.readSeconds) kept.readSeconds = run.readSeconds;
      kept.diskBytes = run.diskBytes;
      kept.whole = run.whole && (round == 0 || kept.whole);
    }
  }
  std::printf(
      "\npreview bytes kept two ways: %zu previews, %.1f KB each on average, "
      "best of 3 (load %s)\n",
      jpegs.size(), static_cast<double>(total) / 1024.0 / static_cast<double>(jpegs.size()),
      loadText().c_str());
  std::printf("%-28s %14s %14s %14s\n", "", "write us/each", "read us/each", "disk KB/each");
  const double count = static_cast<double>(jpegs.size());
  for (const bool asFiles : {false, true}) {
    const Storage& result = best[asFiles ? 1 : 0];
    std::printf("%-28s %14.1f %14.1f %14.1f%s\n",
                asFiles ? "files beside the database" : "blobs in the database",
                result.writeSeconds * 1e6 / count, result.readSeconds * 1e6 / count,
                static_cast<double>(result.diskBytes) / 1024.0 / count,
                result.whole ? "" : "  (bytes differ!)");
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The library's reads run in workers started from this program.
  if (const auto status = velmora::bridge::runWorkerIfStartedAsOne()) return *status;
  if (argc == 6 && std::string(argv[1]) == "--launch") {
    return launch(std::string(argv[2]) == "1", argv[3], argv[4], argv[5]);
  }
  int total = 2000;
  bool keep = false;
  bool uncached = true;
  bool fuse = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--fuse") {
      fuse = true;
    } else if (std::string(argv[i]) == "--keep") {
      keep = true;
    } else if (std::string(argv[i]) == "--no-uncached") {
      uncached = false;
    } else {
      total = std::max(20, std::atoi(argv[i]));
    }
  }
  if (!velmora::base::ensureVips()) return 1;
  const fs::path testdata = VELMORA_TESTDATA;
  const fs::path root =
      fs::temp_directory_path() / ("scan_cache_bench." + std::to_string(::getpid()));
  const fs::path home = root / "home";
  // With --fuse the files live beside the home and are mounted into it.
  const fs::path pictures = fuse ? root / "real-pictures" : home / "Pictures";
  const fs::path cache = root / "cache";
  fs::create_directories(home / ".config");

  VipsImage* base = nullptr;
  VipsImage* screen = nullptr;
  if (!loadSamplePictures(testdata, &base, &screen)) return 1;

  std::printf("library of %d assets under %s; %ld processors online\n", total, root.c_str(),
              ::sysconf(_SC_NPROCESSORS_ONLN));
  const Library library = makeLibrary(total, pictures, root / "originals", base, screen);
  for (VipsImage* image : {base, screen}) g_object_unref(image);
  vips_cache_drop_all();
  if (fuse) {
    fs::create_directories(home / "Pictures");
    const std::string command = "bindfs --ctime-from-mtime '" + pictures.string() + "' '" +
                                (home / "Pictures").string() + "'";
    if (std::system(command.c_str()) != 0) {
      std::printf("bindfs could not mount the library\n");
      fs::remove_all(root);
      return 1;
    }
    std::printf("seen through bindfs --ctime-from-mtime at %s\n", (home / "Pictures").c_str());
  }
  // A file changed less than two seconds ago is not kept (it could still
  // change without its times showing it); real libraries are older.
  ::sleep(3);

  std::printf("%-34s %9s %10s %9s %9s   %s\n", "", "seconds", "assets/s", "CPU s", "peak MiB",
              "load 1/5 min");
  ScanRun cold;
  if (uncached) {
    cold = scan(argv[0], home, cache, root / "previews-off", false);
    row("1. first scan, no cache", total, cold);
  }
  const ScanRun filling = scan(argv[0], home, cache, root / "previews-fill", true);
  row("2. first scan, filling the cache", total, filling);
  if (!uncached) cold = filling;  // what 3 and 4 are compared with
  const fs::path firstPreviews = root / (uncached ? "previews-off" : "previews-fill");
  const std::uintmax_t filled = cacheBytes(cache);
  const ScanRun warm = scan(argv[0], home, cache, root / "previews-warm", true);
  row("3. second scan, warm cache", total, warm);

  // 1 %: every hundredth asset gets another original's contents, written
  // to a new name and renamed over it, as an editor saves.
  int changed = 0;
  for (std::size_t i = 0; i < library.files.size(); ++i) {
    if (!changes(i)) continue;
    const std::vector<fs::path>& originals = library.originals[library.kindOf[i]];
    const fs::path temporary = library.files[i].string() + ".new";
    fs::copy_file(originals[(i + 1) % originals.size()], temporary);
    fs::rename(temporary, library.files[i]);
    ++changed;
  }
  const ScanRun after = scan(argv[0], home, cache, root / "previews-after", true);
  char label[64];
  std::snprintf(label, sizeof label, "4. after %d changed (%.1f %%)", changed,
                100.0 * changed / total);
  row(label, total, after);

  if (uncached) std::printf(
      "\nfilling costs %+.1f %% of wall time (%+.1f %% of CPU time) against no cache; "
      "warm is %.1fx faster than the first; after changes %.1fx\n",
      100.0 * (filling.seconds - cold.seconds) / cold.seconds,
      100.0 * (filling.cpuSeconds - cold.cpuSeconds) / cold.cpuSeconds, cold.seconds / warm.seconds,
      cold.seconds / after.seconds);
  std::printf("lines of 1, 2, 3 identical: %s; previews of 1, 2, 3 identical: %s\n",
              cold.out == filling.out && filling.out == warm.out ? "yes" : "NO",
              samePreviews(firstPreviews, root / "previews-fill") &&
                      samePreviews(firstPreviews, root / "previews-warm")
                  ? "yes"
                  : "NO");
  std::printf("cache on disk after filling: %.1f MB, %.0f bytes per asset (previews alone: %.0f)\n",
              static_cast<double>(filled) / 1e6, static_cast<double>(filled) / total, [&] {
                double bytes = 0;
                for (const auto& entry : fs::directory_iterator(firstPreviews)) {
                  bytes += static_cast<double>(fs::file_size(entry.path()));
                }
                return bytes / total;
              }());

  if (!uncached) {
    std::printf("\nwarm is %.1fx faster than the first (filling) scan; after changes %.1fx\n",
                filling.seconds / warm.seconds, filling.seconds / after.seconds);
  }
  compareStorage(firstPreviews, root / "storage");

  if (fuse) ::umount2((home / "Pictures").c_str(), MNT_DETACH);
  if (keep) {
    std::printf("kept: %s\n", root.c_str());
  } else {
    fs::remove_all(root);
  }
  return 0;
}
