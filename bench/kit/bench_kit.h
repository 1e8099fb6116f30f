#pragma once
// What the benchmarks share: timing, the machine's load, files, and the
// 12-megapixel pictures they build their libraries from.
#include <sys/resource.h>
#include <time.h>
#include <vips/vips.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace velmora::bench {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start);

unsigned processors();

// User and system CPU seconds in `usage`, or of getrusage's `who`
// (RUSAGE_SELF, or RUSAGE_CHILDREN: the children waited for).
double usedCpuSeconds(const rusage& usage);
double usedCpuSeconds(int who);

// CPU seconds on `clock`: CLOCK_PROCESS_CPUTIME_ID (all of this process's
// threads) or CLOCK_THREAD_CPUTIME_ID (the calling thread).
double clockCpuSeconds(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID);

// The load averages over 1, 5 and 15 minutes, as /proc/loadavg writes them.
struct LoadAverage {
  std::string one, five, fifteen;
};
LoadAverage loadAverage();

// Runs `argv` (found on PATH) as a child process with `environment` added
// to this one's and standard error silenced; returns its standard output
// and whether it exited with status 0.
struct CapturedRun {
  bool ok = false;
  std::string out;
};
CapturedRun runCapturing(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment = {});

std::string readWhole(const std::filesystem::path& file);

// Whether two folders (previews) hold files of the same names and bytes.
bool samePreviews(const std::filesystem::path& a, const std::filesystem::path& b);

// `path` in single quotes for sh.
std::string shellQuoted(const std::filesystem::path& path);

// Whether a libvips call succeeded; on failure says which and why on
// standard error, after the program's name.
bool vipsOk(int status, const char* what);

// From the sample files: `base`, a 4000 x 3000 photo held in memory, and
// `screen`, a 2560 x 1440 screenshot. False, with a message, when the
// samples are missing.
bool loadSamplePictures(const std::filesystem::path& testdata, VipsImage** base,
                        VipsImage** screen);

// A 4000 x 3000 picture from `base`, tinted and grained per index so that
// no two encode alike; `grain` is the noise's standard deviation.
VipsImage* grainedPhoto(VipsImage* base, int index, double grain = 6.0);

}  // namespace velmora::bench
