// Detection rate, false positives and time per image of the QR detectors
// over the QR samples (qr/positive and qr/negative, ground truth in the
// samples' MANIFEST.tsv). Prints one table; with -v also every miss and
// every false positive. Usage: qr_bench [-v] [testdata folder]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vips/vips.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/vips.h"
#include "qr/backends.h"
#include "qr/detector.h"
#include "qr/image_file.h"
#include "bridge/worker_mode.h"

namespace fs = std::filesystem;
using namespace velmora::qr;
using Clock = std::chrono::steady_clock;

namespace {

struct Sample {
  std::string path;  // relative to the testdata folder
  bool hasCode = false;
};

std::vector<Sample> readManifest(const fs::path& root) {
  std::vector<Sample> samples;
  std::ifstream manifest(root / "MANIFEST.tsv");
  std::string line;
  while (std::getline(manifest, line)) {
    if (line.rfind("qr/", 0) != 0) continue;
    const std::string path = line.substr(0, line.find('\t'));
    const std::string truth = line.substr(line.rfind('\t') + 1);
    if (truth.rfind("qr=1", 0) == 0) samples.push_back({path, true});
    if (truth.rfind("qr=0", 0) == 0) samples.push_back({path, false});
  }
  return samples;
}

struct Variant {
  std::string name;
  std::function<bool(const LumaImage*)> detect;  // on the decoded image
  std::function<bool(const std::string&)> file;  // or on the file itself
};

struct Tally {
  int found = 0, falsePositives = 0;
  double seconds = 0;
  std::vector<std::string> misses, falseHits;
};

bool zbarimgFinds(const std::string& file) {
  const std::string command = "zbarimg --nodbus -q -Sdisable -Sqrcode.enable '" + file +
                              "' 2>/dev/null | grep -q '^QR-Code:'";
  const int status = std::system(command.c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Variant zxingVariant(const std::string& name, ZxingPass pass) {
  return {name,
          [pass](const LumaImage* image) {
            ZxingDetector detector(pass);
            return image != nullptr && detector.detect(*image).value_or(false);
          },
          nullptr};
}

// A 12-megapixel camera-sized JPEG built from a sample photo, with or
// without a QR code (drawn by the qrencode tool) in one corner.
bool writeLargePhoto(const fs::path& root, const fs::path& file, bool withCode) {
  const auto photo = loadLuma((root / "photos/jpeg/london.jpg").string());
  if (!photo) return false;
  LumaImage big;
  big.width = 4032;
  big.height = 3024;
  big.pixels.resize(std::size_t{big.width} * big.height);
  for (std::uint32_t y = 0; y < big.height; ++y) {
    for (std::uint32_t x = 0; x < big.width; ++x) {
      big.pixels[std::size_t{y} * big.width + x] =
          photo->pixels[std::size_t{y * photo->height / big.height} * photo->width +
                        x * photo->width / big.width];
    }
  }
  if (withCode) {
    const fs::path codeFile = file.parent_path() / "code.png";
    const std::string command =
        "qrencode -s 12 -m 4 -o '" + codeFile.string() + "' 'https://example.org/velmora/large'";
    if (std::system(command.c_str()) != 0) return false;
    const auto code = loadLuma(codeFile.string());
    if (!code) return false;
    for (std::uint32_t y = 0; y < code->height; ++y) {
      for (std::uint32_t x = 0; x < code->width; ++x) {
        big.pixels[std::size_t{y + 600} * big.width + x + 900] =
            code->pixels[std::size_t{y} * code->width + x];
      }
    }
  }
  VipsImage* memory =
      vips_image_new_from_memory(big.pixels.data(), big.pixels.size(), static_cast<int>(big.width),
                                 static_cast<int>(big.height), 1, VIPS_FORMAT_UCHAR);
  const int failed = vips_jpegsave(memory, file.c_str(), "Q", 85, nullptr);
  g_object_unref(memory);
  return failed == 0;
}

// Runs the bridge and returns its peak resident memory in MB.
double bridgePeakMegabytes(const std::vector<std::string>& arguments) {
  std::fflush(stdout);  // or the child's copy of the buffer gets printed twice
  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<char*> argv{const_cast<char*>(VELMORA_BRIDGE_EXE)};
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::freopen("/dev/null", "w", stdout);
    ::execv(VELMORA_BRIDGE_EXE, argv.data());
    std::_Exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(child, &status, 0, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024;
}

void largePhotos(const fs::path& root) {
  const fs::path folder = fs::temp_directory_path() / ("qr-bench-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const fs::path withCode = folder / "with-code.jpg", without = folder / "without.jpg";
  if (!writeLargePhoto(root, withCode, true) || !writeLargePhoto(root, without, false)) {
    std::printf("\n(large photos skipped: could not build them)\n");
    fs::remove_all(folder);
    return;
  }
  std::printf("\n12-megapixel JPEG (4032 x 3024), ms:\n\n");
  std::printf("| image | decode | ours | ZXing defaults | ZBar library | found by ours |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (const fs::path& file : {withCode, without}) {
    const auto t0 = Clock::now();
    const auto image = loadLuma(file.string());
    const auto t1 = Clock::now();
    const bool found = hasQR(image ? &*image : nullptr);
    const auto t2 = Clock::now();
    ZxingDetector(zxingDefaults()).detect(*image);
    const auto t3 = Clock::now();
    ZbarDetector().detect(*image);
    const auto t4 = Clock::now();
    const auto ms = [](auto a, auto b) {
      return std::chrono::duration<double, std::milli>(b - a).count();
    };
    std::printf("| %s | %.0f | %.0f | %.0f | %.0f | %s |\n", file.filename().c_str(), ms(t0, t1),
                ms(t1, t2), ms(t2, t3), ms(t3, t4), found ? "yes" : "no");
  }
  for (int i = 0; i < 6; ++i)
    fs::copy_file(without, folder / ("copy" + std::to_string(i) + ".jpg"));
  std::printf(
      "\npeak memory of the bridge: qr on one 12 MP JPEG %.0f MB; qr-folder over 8 of "
      "them %.0f MB\n",
      bridgePeakMegabytes({"qr", withCode.string()}),
      bridgePeakMegabytes({"qr-folder", folder.string()}));
  fs::remove_all(folder);
}

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Codes drawn by the qrencode tool in several versions, error-correction
// levels and module sizes, each as it is, turned by 30 degrees, inverted,
// laid on a photo, and turned on a photo saved as a poor JPEG. The same
// detectors as above, over the same files.
void generatedCodes(const fs::path& root, const std::vector<Variant>& variants) {
  const fs::path folder =
      fs::temp_directory_path() / ("qr-bench-codes-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const std::string photo = (root / "photos/jpeg/london.jpg").string();
  const std::vector<std::string> kinds = {"plain", "turned 30 degrees", "inverted", "on a photo",
                                          "turned on a photo, JPEG quality 40"};
  std::map<std::string, std::vector<std::string>> filesByKind;
  for (const int version : {1, 5, 10, 20}) {
    for (const char level : {'L', 'H'}) {
      for (const int module : {2, 4}) {
        const std::string stem =
            (folder / ("v" + std::to_string(version) + level + std::to_string(module))).string();
        const std::string base = stem + ".png";
        // The tool writes RGBA; one grey band goes onto the colour photo.
        if (!run("qrencode -v " + std::to_string(version) + " -l " + level + " -s " +
                 std::to_string(module) + " -m 4 -o '" + stem + "-rgba.png' 'velmora " +
                 fs::path(stem).filename().string() + "'") ||
            !run("vips extract_band '" + stem + "-rgba.png' '" + base + "' 0")) {
          continue;
        }
        const std::string turned = stem + "-turned.png", inverse = stem + "-inverted.png";
        const std::string onPhoto = stem + "-photo.jpg", poor = stem + "-poor.jpg";
        if (!run("vips similarity '" + base + "' '" + turned + "' --angle 30 --background 255") ||
            !run("vips invert '" + base + "' '" + inverse + "'") ||
            !run("vips insert '" + photo + "' '" + base + "' '" + onPhoto + "[Q=90]' 120 60") ||
            !run("vips insert '" + photo + "' '" + turned + "' '" + poor + "[Q=40]' 60 20")) {
          continue;
        }
        filesByKind["plain"].push_back(base);
        filesByKind["turned 30 degrees"].push_back(turned);
        filesByKind["inverted"].push_back(inverse);
        filesByKind["on a photo"].push_back(onPhoto);
        filesByKind["turned on a photo, JPEG quality 40"].push_back(poor);
      }
    }
  }
  if (filesByKind.empty()) {
    std::printf("\n(generated codes skipped: qrencode or vips missing)\n");
    fs::remove_all(folder);
    return;
  }
  std::printf(
      "\nGenerated codes (versions 1, 5, 10, 20; levels L, H; 2 and 4 px modules), "
      "found:\n\n| detector |");
  for (const auto& kind : kinds) std::printf(" %s |", kind.c_str());
  std::printf("\n|---|");
  for (std::size_t k = 0; k < kinds.size(); ++k) std::printf("---|");
  std::printf("\n");
  for (const Variant& variant : variants) {
    std::printf("| %s |", variant.name.c_str());
    for (const auto& kind : kinds) {
      int found = 0;
      for (const std::string& file : filesByKind[kind]) {
        const auto image = loadLuma(file);
        found += variant.file ? variant.file(file) : variant.detect(image ? &*image : nullptr);
      }
      std::printf(" %d/%zu |", found, filesByKind[kind].size());
    }
    std::printf("\n");
  }
  fs::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
  // The library's reads run in workers started from this program.
  if (const auto status = velmora::bridge::runWorkerIfStartedAsOne()) return *status;
  bool verbose = false;
  fs::path root = VELMORA_TESTDATA;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "-v")
      verbose = true;
    else
      root = argument;
  }
  const std::vector<Sample> samples = readManifest(root);
  if (samples.empty()) {
    std::cout << "no QR samples under " << root << "\n";
    return 1;
  }

  ZxingPass histogram;
  histogram.threshold = ZxingPass::Threshold::Histogram;
  ZxingPass fixed;
  fixed.threshold = ZxingPass::Threshold::Fixed;
  ZxingPass inverted;
  inverted.inverted = true;
  ZxingPass box2;
  box2.boxShrink = 2;
  ZxingPass box3;
  box3.boxShrink = 3;
  ZxingPass box4;
  box4.boxShrink = 4;
  ZxingPass micro;
  micro.microQr = true;
  ZxingPass errors;
  errors.acceptErrors = true;
  ZxingPass plain;
  plain.rotations = false;
  plain.downscale = false;
  plain.tryHarder = false;

  std::vector<Variant> variants = {
      {"ours (hasQR)", [](const LumaImage* image) { return hasQR(image); }, nullptr},
      zxingVariant("ZXing defaults", ZxingPass{}),
      {"zbarimg", nullptr, zbarimgFinds},
      {"ZBar library",
       [](const LumaImage* image) {
         ZbarDetector detector;
         return image != nullptr && detector.detect(*image).value_or(false);
       },
       nullptr},
      {"ZBar library, inverted too",
       [](const LumaImage* image) {
         ZbarDetector detector(true);
         return image != nullptr && detector.detect(*image).value_or(false);
       },
       nullptr},
      zxingVariant("ZXing no rotate/downscale/harder", plain),
      zxingVariant("ZXing histogram binarizer", histogram),
      zxingVariant("ZXing fixed threshold", fixed),
      zxingVariant("ZXing inverted copy", inverted),
      zxingVariant("ZXing box-shrunk 1/2", box2),
      zxingVariant("ZXing box-shrunk 1/3", box3),
      zxingVariant("ZXing box-shrunk 1/4", box4),
      zxingVariant("ZXing + Micro QR", micro),
      zxingVariant("ZXing + return errors", errors),
  };

  std::vector<Tally> tallies(variants.size());
  double loadSeconds = 0;
  int positives = 0, negatives = 0, undecodable = 0;
  for (const Sample& sample : samples) {
    const std::string file = (root / sample.path).string();
    (sample.hasCode ? positives : negatives) += 1;
    const auto loadStart = Clock::now();
    const std::optional<LumaImage> image = loadLuma(file);
    loadSeconds += std::chrono::duration<double>(Clock::now() - loadStart).count();
    if (!image) ++undecodable;
    for (std::size_t v = 0; v < variants.size(); ++v) {
      const auto start = Clock::now();
      const bool found =
          variants[v].file ? variants[v].file(file) : variants[v].detect(image ? &*image : nullptr);
      Tally& tally = tallies[v];
      tally.seconds += std::chrono::duration<double>(Clock::now() - start).count();
      if (found && sample.hasCode) ++tally.found;
      if (found && !sample.hasCode) {
        ++tally.falsePositives;
        tally.falseHits.push_back(sample.path);
      }
      if (!found && sample.hasCode) tally.misses.push_back(sample.path);
    }
  }

  const int total = positives + negatives;
  std::printf("%d images: %d with a QR code, %d without; %d not decodable\n", total, positives,
              negatives, undecodable);
  std::printf(
      "decoding to luminance: %.1f ms per image (not in the figures below, except "
      "zbarimg, which decodes itself)\n\n",
      1000 * loadSeconds / total);
  std::printf("| detector | found | rate | false positives | ms per image |\n");
  std::printf("|---|---|---|---|---|\n");
  for (std::size_t v = 0; v < variants.size(); ++v) {
    const Tally& tally = tallies[v];
    std::printf("| %s | %d/%d | %.0f%% | %d/%d | %.1f |\n", variants[v].name.c_str(), tally.found,
                positives, 100.0 * tally.found / positives, tally.falsePositives, negatives,
                1000 * tally.seconds / total);
  }
  if (verbose) {
    for (std::size_t v = 0; v < variants.size(); ++v) {
      std::printf("\n%s\n", variants[v].name.c_str());
      for (const auto& miss : tallies[v].misses) std::printf("  missed %s\n", miss.c_str());
      for (const auto& hit : tallies[v].falseHits) std::printf("  FALSE  %s\n", hit.c_str());
    }
  }
  generatedCodes(root, variants);
  largePhotos(root);
  return 0;
}
