// Semantic classification speed and memory: the bridge run end to end on
// 1 and 50 preview-sized JPEGs (600 px, as the scan writes them), and the
// classifier in process, with the model load timed on its own.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>
#include <vips/vips8>

#include <opencv2/core.hpp>

#include "base/ordered_work.h"
#include "base/vips.h"
#include "semantic/semantic_action.h"
#include "semantic/object_classifier.h"
#include "bridge/worker_mode.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double cpuMs(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

struct ChildRun {
  double ms = 0;
  double cpu = 0;
  long maxRssKb = 0;
  int status = -1;
};

ChildRun runBridge(const fs::path& request) {
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    const int devNull = ::open("/dev/null", O_WRONLY);
    ::dup2(devNull, STDOUT_FILENO);
    ::execl(VELMORA_BRIDGE_EXE, VELMORA_BRIDGE_EXE, "semantic", request.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  return {msSince(start), cpuMs(usage), usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace

int main() {
  // The library's reads run in workers started from this program.
  if (const auto status = velmora::bridge::runWorkerIfStartedAsOne()) return *status;
  const fs::path model = fs::path(VELMORA_BRIDGE_EXE).parent_path() / velmora::semantic::modelFileName;
  if (!fs::is_regular_file(model)) {
    std::printf("semantic_bench: no model at %s (run scripts/setup.sh, rebuild)\n", model.c_str());
    return 0;
  }
  std::vector<fs::path> sources;
  for (const char* name : {"eagle", "horses", "kite", "dog", "person", "giraffe"}) {
    const fs::path photo = fs::path("/usr/share/darknet/data") / (std::string(name) + ".jpg");
    if (fs::is_regular_file(photo)) sources.push_back(photo);
  }
  for (const char* name : {"photos/orientation/Landscape_1.jpg", "photos/jpeg/london.jpg",
                           "photos/orientation/pillow_hopper.jpg", "photos/jpeg/xmp_test.jpg"}) {
    const fs::path photo = fs::path(VELMORA_TESTDATA) / name;
    if (fs::is_regular_file(photo)) sources.push_back(photo);
  }
  if (sources.empty() || !velmora::base::ensureVips()) {
    std::printf("semantic_bench: no sample photos\n");
    return 0;
  }

  const fs::path dir = fs::temp_directory_path() / ("velmora-semantic-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::vector<fs::path> previews;
  for (size_t i = 0; i < 50; ++i) {
    const fs::path preview = dir / (std::to_string(i) + ".jpg");
    vips::VImage::thumbnail(sources[i % sources.size()].c_str(), 600,
                            vips::VImage::option()->set("height", 600))
        .jpegsave(preview.c_str(), vips::VImage::option()->set("Q", 80));
    previews.push_back(preview);
  }
  auto writeRequest = [&](size_t count) {
    nlohmann::json items = nlohmann::json::array();
    for (size_t i = 0; i < count; ++i) items.push_back({{"id", i}, {"path", previews[i].string()}, {"fingerprint", ""}});
    const fs::path request = dir / ("request-" + std::to_string(count) + ".json");
    FILE* out = std::fopen(request.c_str(), "w");
    const std::string text = nlohmann::json{{"items", items}}.dump();
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
    return request;
  };

  std::printf("semantic_bench: %zu source photos as 600 px previews, %u threads available\n", sources.size(),
              std::thread::hardware_concurrency());
  const ChildRun empty = runBridge(writeRequest(0));
  const ChildRun one = runBridge(writeRequest(1));
  const ChildRun fifty = runBridge(writeRequest(50));
  std::printf("bridge, 0 items:  %7.0f ms wall, %7.0f ms CPU, peak RSS %ld MB (status %d)\n", empty.ms, empty.cpu,
              empty.maxRssKb / 1024, empty.status);
  std::printf("bridge, 1 item:   %7.0f ms wall, %7.0f ms CPU, peak RSS %ld MB (status %d)\n", one.ms, one.cpu,
              one.maxRssKb / 1024, one.status);
  std::printf("bridge, 50 items: %7.0f ms wall, %7.0f ms CPU, %.0f ms wall per image, peak RSS %ld MB (status %d)\n",
              fifty.ms, fifty.cpu, fifty.ms / 50, fifty.maxRssKb / 1024, fifty.status);
  std::printf("bridge, each further image: %.0f ms wall, %.0f ms CPU ((50 items - 1 item) / 49)\n",
              (fifty.ms - one.ms) / 49, (fifty.cpu - one.cpu) / 49);

  velmora::semantic::ObjectClassifier classifier(model);
  auto start = Clock::now();
  const bool firstOk = classifier.classify(previews[0].string()).ok;
  const double first = msSince(start);
  start = Clock::now();
  int ok = 0;
  for (const fs::path& preview : previews) ok += classifier.classify(preview.string()).ok ? 1 : 0;
  const double steady = msSince(start) / static_cast<double>(previews.size());
  std::printf("in process: first image %.0f ms (model load included, ok %d), then %.0f ms per image (%d/50 ok)\n",
              first, firstOk ? 1 : 0, steady, ok);
  // The action's own choice against one network on every thread: the same
  // 50 items through classifyRequest with 1 worker and with one per processor
  // (each with its own network, OpenCV's threads shared out).
  const unsigned processors = velmora::base::onlineProcessors();
  const fs::path request = writeRequest(50);
  for (const unsigned workers : {1U, processors}) {
    cv::setNumThreads(static_cast<int>(std::max(1U, processors / workers)));
    std::vector<std::unique_ptr<velmora::semantic::ObjectClassifier>> networks;
    for (unsigned i = 0; i < workers; ++i) {
      networks.push_back(std::make_unique<velmora::semantic::ObjectClassifier>(model));
      networks.back()->classify(previews[0].string());  // load outside the timing
    }
    start = Clock::now();
    const int status = velmora::semantic::classifyRequest(
        request.string(),
        [&](unsigned worker) -> velmora::semantic::Classifier& { return *networks[worker]; }, workers,
        [](const nlohmann::json&) {});
    std::printf("in process, %u worker(s), %d OpenCV thread(s) each: %.0f ms per image (status %d)\n",
                workers, cv::getNumThreads(), msSince(start) / 50, status);
  }
  cv::setNumThreads(-1);

  rusage self{};
  ::getrusage(RUSAGE_SELF, &self);
  std::printf("in process: peak RSS %ld MB\n", self.ru_maxrss / 1024);

  fs::remove_all(dir);
  return 0;
}
