// qr-folder throughput: one picture at a time against one per processor,
// and `zbarimg` per file, alone and through `xargs -P`.
//
//   qr_folder_bench [photos]
//
// The folder holds `photos` 12-megapixel JPEGs made from a sample photo
// (default 16; pictures without a code, the slow case) and every QR sample
// of the shared test data saved as JPEG. Each action run is a child process,
// so its peak resident memory can be read.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <vips/vips8>

#include "base/ordered_work.h"
#include "base/vips.h"
#include "qr/qr_actions.h"
#include "bridge/worker_mode.h"

namespace fs = std::filesystem;

namespace {

struct Run {
  double seconds = 0;
  long peakKiB = 0;
  std::size_t records = 0;
};

double since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Run timeAction(const fs::path& folder, unsigned workers) {
  int pipeEnds[2];
  Run result;
  if (::pipe(pipeEnds) != 0) return result;
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeEnds[0]);
    std::size_t records = 0;
    velmora::qr::qrFolderAction(
        {"velmora-bridge", "qr-folder", folder.string()},
        [&](const velmora::bridge::Json& line) {
          if (line.contains("items")) records = line["items"].size();
        },
        workers);
    const std::string text = std::to_string(records);
    if (::write(pipeEnds[1], text.data(), text.size()) < 0) ::_exit(1);
    ::_exit(0);
  }
  ::close(pipeEnds[1]);
  char buffer[32] = {};
  if (::read(pipeEnds[0], buffer, sizeof buffer - 1) < 0) buffer[0] = 0;
  ::close(pipeEnds[0]);
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  result.seconds = since(start);
  result.peakKiB = usage.ru_maxrss;
  result.records = static_cast<std::size_t>(std::atol(buffer));
  return result;
}

double timeZbar(const fs::path& folder, unsigned parallel) {
  const std::string command = "cd '" + folder.string() + "' && ls *.jpg | xargs -d '\\n' -n 1 -P " +
                              std::to_string(parallel) +
                              " zbarimg -q -Sdisable -Sqrcode.enable >/dev/null 2>&1";
  const auto start = std::chrono::steady_clock::now();
  if (std::system(command.c_str()) == -1) return 0;
  return since(start);
}

}  // namespace

int main(int argc, char** argv) {
  // The library's reads run in workers started from this program.
  if (const auto status = velmora::bridge::runWorkerIfStartedAsOne()) return *status;
  const int photos = argc > 1 ? std::max(1, std::atoi(argv[1])) : 16;
  if (!velmora::base::ensureVips()) return 1;
  const fs::path testdata = VELMORA_TESTDATA;
  const fs::path folder = fs::temp_directory_path() / ("qr_folder_bench." + std::to_string(::getpid()));
  fs::create_directories(folder);

  int pictures = 0;
  try {
    const vips::VImage sample = vips::VImage::new_from_file((testdata / "photos/jpeg/london.jpg").c_str());
    for (int i = 0; i < photos; ++i) {
      // Each one a little different, so that no decoder work repeats.
      vips::VImage photo = sample.resize(4000.0 / sample.width(),
                                         vips::VImage::option()->set("vscale", 3000.0 / sample.height()));
      photo = (photo * (0.9 + 0.01 * i)).cast(VIPS_FORMAT_UCHAR);
      photo.jpegsave((folder / ("photo" + std::to_string(i) + ".jpg")).c_str(),
                     vips::VImage::option()->set("Q", 90));
      ++pictures;
    }
    for (const auto& entry : fs::recursive_directory_iterator(testdata / "qr/positive")) {
      const std::string extension = entry.path().extension().string();
      if (extension != ".png" && extension != ".webp") continue;
      vips::VImage::new_from_file(entry.path().c_str())
          .jpegsave((folder / ("code" + std::to_string(pictures) + ".jpg")).c_str());
      ++pictures;
    }
  } catch (const vips::VError& error) {
    std::fprintf(stderr, "qr_folder_bench: %s\n", error.what());
    fs::remove_all(folder);
    return 1;
  }

  const unsigned all = velmora::base::onlineProcessors();
  std::printf("%d pictures (%d 12-MP photos without a code, %d QR samples); %u processors\n", pictures,
              photos, pictures - photos, all);
  std::printf("%-26s %10s %10s %9s\n", "", "seconds", "pictures/s", "peak MiB");
  for (const unsigned workers : {1U, all}) {
    const Run run = timeAction(folder, workers);
    const std::string name = "qr-folder, " + std::to_string(workers) + " worker" + (workers > 1 ? "s" : "");
    std::printf("%-26s %10.2f %10.2f %9ld%s\n", name.c_str(), run.seconds, pictures / run.seconds,
                run.peakKiB / 1024,
                run.records == static_cast<std::size_t>(pictures) ? "" : "  (records missing!)");
  }
  for (const unsigned parallel : {1U, all}) {
    const double seconds = timeZbar(folder, parallel);
    const std::string name = "zbarimg, xargs -P " + std::to_string(parallel);
    std::printf("%-26s %10.2f %10.2f\n", name.c_str(), seconds, pictures / seconds);
  }
  fs::remove_all(folder);
  return 0;
}
