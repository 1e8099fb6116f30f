#include "kit/bench_kit.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace velmora::bench {

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double usedCpuSeconds(const rusage& usage) {
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double usedCpuSeconds(int who) {
  rusage usage{};
  ::getrusage(who, &usage);
  return usedCpuSeconds(usage);
}

double clockCpuSeconds(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

unsigned processors() {
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

LoadAverage loadAverage() {
  LoadAverage load;
  std::ifstream("/proc/loadavg") >> load.one >> load.five >> load.fifteen;
  return load;
}

CapturedRun runCapturing(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment) {
  CapturedRun result;
  int pipeEnds[2];
  if (argv.empty() || ::pipe(pipeEnds) != 0) return result;
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(pipeEnds[1], 1);
    const int quiet = ::open("/dev/null", O_WRONLY);
    if (quiet >= 0) ::dup2(quiet, 2);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    for (const std::string& setting : environment) ::putenv(const_cast<char*>(setting.c_str()));
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
    result.out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

std::string readWhole(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool samePreviews(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::map<std::string, std::filesystem::path> left;
  std::map<std::string, std::filesystem::path> right;
  for (const auto& entry : std::filesystem::directory_iterator(a)) {
    left[entry.path().filename()] = entry.path();
  }
  for (const auto& entry : std::filesystem::directory_iterator(b)) {
    right[entry.path().filename()] = entry.path();
  }
  if (left.size() != right.size()) return false;
  for (const auto& [name, path] : left) {
    const auto other = right.find(name);
    if (other == right.end() || readWhole(path) != readWhole(other->second)) return false;
  }
  return true;
}

std::string shellQuoted(const std::filesystem::path& path) {
  std::string text = "'";
  for (const char c : path.string()) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return text + "'";
}

bool vipsOk(int status, const char* what) {
  if (status != 0) {
    std::fprintf(stderr, "%s: %s failed: %s\n", program_invocation_short_name, what,
                 vips_error_buffer());
    vips_error_clear();
  }
  return status == 0;
}

bool loadSamplePictures(const std::filesystem::path& testdata, VipsImage** base,
                        VipsImage** screen) {
  VipsImage* sample =
      vips_image_new_from_file((testdata / "photos/jpeg/london.jpg").c_str(), nullptr);
  VipsImage* shot =
      vips_image_new_from_file((testdata / "screenshots/btop_normal.png").c_str(), nullptr);
  VipsImage* resized = nullptr;
  const bool ok =
      sample && shot &&
      vipsOk(vips_resize(sample, &resized, 4000.0 / vips_image_get_width(sample), "vscale",
                         3000.0 / vips_image_get_height(sample), nullptr),
             "resize") &&
      vipsOk(vips_resize(shot, screen, 2560.0 / vips_image_get_width(shot), "vscale",
                         1440.0 / vips_image_get_height(shot), "kernel", VIPS_KERNEL_NEAREST,
                         nullptr),
             "resize");
  if (ok) {
    // In memory once: every photo derives from it.
    *base = vips_image_copy_memory(resized);
  } else {
    std::fprintf(stderr, "%s: sample files missing under %s\n", program_invocation_short_name,
                 testdata.c_str());
  }
  for (VipsImage* image : {sample, shot, resized}) {
    if (image) g_object_unref(image);
  }
  return ok && *base != nullptr;
}

VipsImage* grainedPhoto(VipsImage* base, int index, double grain) {
  VipsImage* tinted = nullptr;
  VipsImage* noise = nullptr;
  VipsImage* sum = nullptr;
  VipsImage* out = nullptr;
  const double tint[3] = {1.0 + (index % 7) * 0.02, 1.0, 1.0 - (index % 5) * 0.02};
  const double offset[3] = {static_cast<double>(index % 11), 0, 0};
  const bool ok =
      vipsOk(vips_linear(base, &tinted, tint, offset, 3, nullptr), "linear") &&
      vipsOk(vips_gaussnoise(&noise, 4000, 3000, "sigma", grain, "mean", 0.0, "seed", index, nullptr),
             "noise") &&
      vipsOk(vips_add(tinted, noise, &sum, nullptr), "add") &&
      vipsOk(vips_cast_uchar(sum, &out, nullptr), "cast");
  for (VipsImage* image : {tinted, noise, sum}) {
    if (image) g_object_unref(image);
  }
  return ok ? out : nullptr;
}

}  // namespace velmora::bench
