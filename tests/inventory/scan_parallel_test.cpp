// A scan with several workers says exactly what a scan with one says.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "bridge/photos/disk_library.h"
#include "inventory/raw_sample.h"
#include "inventory/scan.h"
#include "support/sample_files.h"
#include "support/temp_dir.h"

namespace velmora::inventory {
namespace {

namespace fs = std::filesystem;
using bridge::Json;
using testing::TempDir;
using testing::testdata;

const char* ratingFive =
    R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">)"
    R"(<rdf:Description rdf:about="" xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmp:Rating="5"/>)"
    R"(</rdf:RDF></x:xmpmeta>)";

struct Outcome {
  std::vector<Json> lines;
  std::map<std::string, std::string> previews;  // file name -> bytes
};

Outcome scanWith(const fs::path& pictures, unsigned workers) {
  Outcome outcome;
  TempDir previews;
  photos::DiskLibrary library(pictures);
  const int status = scanAction({"velmora-bridge", "scan", previews.path().string()}, library,
                                [&](const Json& line) { outcome.lines.push_back(line); }, workers);
  EXPECT_EQ(status, 0);
  for (const fs::directory_entry& entry : fs::directory_iterator(previews.path())) {
    outcome.previews[entry.path().filename()] = testing::readFile(entry.path());
  }
  return outcome;
}

TEST(ParallelScan, GivesTheOneWorkerOutputForEveryKindOfAsset) {
  TempDir pictures;
  TempDir made;
  testing::writeTrickyPictures(made.path());
  const auto copy = [&](const std::string& sample, const std::string& name) {
    fs::create_directories((pictures / name).parent_path());
    fs::copy_file(testdata() / sample, pictures / name);
  };
  // Stills of every decoder, orientations, colour models, motion photos,
  // QR codes and none, screenshots, videos, broken and refused files.
  const std::vector<std::pair<std::string, std::string>> samples = {
      {"photos/jpeg/london.jpg", "IMG_0002.JPG"},
      {"photos/jpeg/xmp_test.jpg", "xmp_test.jpg"},
      {"photos/avif/Monochrome.avif", "Monochrome.avif"},
      {"photos/jpeg/white-1x1.jpg", "white-1x1.jpg"},
      {"photos/heif/androidx_sample_still_photo.heic", "phone.heic"},
      {"photos/avif/Ronda_rotate90.avif", "Urlaub/ronda.avif"},
      {"photos/webp/lossy_alpha.webp", "lossy_alpha.webp"},
      {"photos/motion/pixel-motion-photo-shortened.jpg", "motion.jpg"},
      {"photos/orientation/Landscape_6.jpg", "Landscape_6.jpg"},
      {"tricky/gray/hopper_gray.jpg", "gray.jpg"},
      {"screenshots/btop_tty.png", "Screenshots/btop.png"},
      {"qr/positive/qrcode-1/1.webp", "QR/code-1.webp"},
      {"qr/positive/qrcode-3/03.webp", "QR/code-3.webp"},
      {"qr/negative/ean13-1/#526.webp", "QR/ean.webp"},
      {"video/sample.mp4", "Videos/sample.mp4"},
      {"video/bbb_642x642_768kbps_30fps_vp9.webm", "Videos/bbb.webm"},
      {"video/sample_audio_only.mp4", "Videos/audio_only.mp4"},
      {"bad/truncated/truncated_jpeg.jpg", "truncated.jpg"},
      {"bad/corrupt/broken_data_stream.png", "broken.png"},
      {"bad/bomb/lottapixel.jpg", "lottapixel.jpg"},
  };
  for (const auto& [sample, name] : samples) copy(sample, name);
  // Colour models the samples lack: CMYK, 16-bit grey with alpha, HEIC with alpha.
  fs::copy_file(made / "cmyk_profile.jpg", pictures / "cmyk.jpg");
  fs::copy_file(made / "grey16_alpha.png", pictures / "deep.png");
  fs::create_directories(pictures / "Urlaub");
  fs::copy_file(made / "alpha.heic", pictures / "Urlaub/alpha.heic");
  testing::writeRawSample(pictures / "IMG_0001.DNG");  // alone
  testing::writeRawSample(pictures / "IMG_0002.DNG");  // beside IMG_0002.JPG
  testing::writeFile(pictures / "xmp_test.xmp", ratingFive);
  fs::create_symlink(pictures / "gone.jpg.target", pictures / "gone.jpg");  // unreadable
  testing::writeFile(pictures / "notes.pdf", "%PDF-1.4 not a photo");

  const Outcome one = scanWith(pictures.path(), 1);
  ASSERT_GE(one.lines.size(), 2u);
  const Json& result = one.lines.back();
  // IMG_0002.DNG joins its JPEG, the sidecar its photo, the PDF is no photo.
  ASSERT_EQ(result["items"].size(), samples.size() + 5) << result["items"];
  EXPECT_EQ(result["errors"].size(), 1u) << result["errors"];  // the dangling link
  EXPECT_FALSE(one.previews.empty());
  for (const Json& item : result["items"]) {
    if (item["asset_id"] == "QR/code-1.webp") {
      EXPECT_EQ(item["qr"], true);
    }
  }

  // More workers than this machine has processors, so that they really
  // interleave; twice, since the interleaving differs from run to run.
  for (const unsigned workers : {4U, 7U}) {
    const Outcome many = scanWith(pictures.path(), workers);
    ASSERT_EQ(many.lines.size(), one.lines.size()) << workers;
    for (std::size_t i = 0; i < one.lines.size(); ++i) {
      EXPECT_EQ(many.lines[i], one.lines[i]) << workers << " line " << i;
    }
    EXPECT_EQ(many.previews == one.previews, true) << workers;
  }
}

}  // namespace
}  // namespace velmora::inventory
