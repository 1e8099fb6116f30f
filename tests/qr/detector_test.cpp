#include "qr/detector.h"

#include <gtest/gtest.h>

#include <fstream>

#include "qr/backends.h"
#include "qr/image_file.h"
#include "qr/qr_images.h"
#include "support/temp_dir.h"

namespace velmora::qr {
namespace {

using namespace velmora::qr::testing;

// Answers what it is told and counts how often it was asked.
class ScriptedDetector : public QrDetectorBackend {
 public:
  enum class Answer { Found, NotFound, CannotRun, Throws };
  explicit ScriptedDetector(Answer answer) : answer_(answer) {}
  std::optional<bool> detect(const LumaImage&) override {
    ++calls;
    switch (answer_) {
      case Answer::Found:
        return true;
      case Answer::NotFound:
        return false;
      case Answer::CannotRun:
        return std::nullopt;
      case Answer::Throws:
        throw std::runtime_error("detector broke");
    }
    return std::nullopt;
  }
  int calls = 0;

 private:
  Answer answer_;
};

using Answer = ScriptedDetector::Answer;

TEST(QrDetector, OutcomeFollowsPrimaryAndFallsBackOnlyWhenPrimaryCannotRun) {
  struct Case {
    bool image;
    Answer primary;
    Answer fallback;
    bool result;
    bool available;
    int primaryCalls;
    int fallbackCalls;
  };
  const Case cases[] = {
      {false, Answer::Found, Answer::Found, false, true, 0, 0},
      {true, Answer::Found, Answer::Found, true, true, 1, 0},
      {true, Answer::NotFound, Answer::Found, false, true, 1, 0},
      {true, Answer::CannotRun, Answer::Found, true, true, 1, 1},
      {true, Answer::Throws, Answer::Found, true, true, 1, 1},
      {true, Answer::CannotRun, Answer::NotFound, false, false, 1, 1},
      {true, Answer::Throws, Answer::CannotRun, false, false, 1, 1},
      {true, Answer::CannotRun, Answer::Throws, false, false, 1, 1},
  };
  const LumaImage image = filled(8, 8, 128);
  for (const Case& c : cases) {
    ScriptedDetector primary(c.primary), fallback(c.fallback);
    qrAvailable = !c.available;  // the call must set it, whatever it was
    EXPECT_EQ(hasQR(c.image ? &image : nullptr, primary, fallback), c.result);
    EXPECT_EQ(qrAvailable, c.available);
    EXPECT_EQ(primary.calls, c.primaryCalls);
    EXPECT_EQ(fallback.calls, c.fallbackCalls);
  }
}

TEST(QrDetector, FlagIsResetByTheNextCall) {
  ScriptedDetector broken(Answer::CannotRun), working(Answer::NotFound);
  const LumaImage image = filled(8, 8, 128);
  EXPECT_FALSE(hasQR(&image, broken, broken));
  EXPECT_FALSE(qrAvailable);
  EXPECT_FALSE(hasQR(nullptr));
  EXPECT_TRUE(qrAvailable);
  EXPECT_FALSE(hasQR(&image, broken, broken));
  EXPECT_FALSE(hasQR(&image, working, broken));
  EXPECT_TRUE(qrAvailable);
}

TEST(QrDetector, ChainNegativeNeedsEveryPassToHaveRun) {
  const LumaImage image = filled(8, 8, 128);
  const auto chain = [](std::initializer_list<Answer> answers) {
    std::vector<std::unique_ptr<QrDetectorBackend>> passes;
    for (Answer answer : answers) passes.push_back(std::make_unique<ScriptedDetector>(answer));
    return ChainDetector(std::move(passes));
  };
  EXPECT_EQ(chain({Answer::NotFound, Answer::NotFound}).detect(image), false);
  EXPECT_EQ(chain({Answer::NotFound, Answer::Found}).detect(image), true);
  EXPECT_EQ(chain({Answer::Throws, Answer::Found}).detect(image), true);
  EXPECT_EQ(chain({Answer::NotFound, Answer::CannotRun}).detect(image), std::nullopt);
  EXPECT_EQ(chain({Answer::Throws, Answer::NotFound}).detect(image), std::nullopt);
}

TEST(QrDetector, RealDetectorsRefuseImagesWhosePixelsDoNotMatchTheSize) {
  LumaImage wrong = filled(100, 100, 255);
  const LumaImage* const wrongView = &wrong;
  wrong.pixels.resize(50);
  const LumaImage empty;
  for (const LumaImage* image : {wrongView, &empty}) {
    EXPECT_EQ(ZxingDetector(zxingDefaults()).detect(*image), std::nullopt);
    EXPECT_EQ(ZbarDetector().detect(*image), std::nullopt);
    EXPECT_FALSE(hasQR(image));
    EXPECT_FALSE(qrAvailable);
  }
}

// A photo without a code, as background.
LumaImage background() {
  const auto samples = velmora::testing::testdata();
  if (auto photo = loadLuma((samples / "photos/jpeg/london.jpg").string())) return *photo;
  ADD_FAILURE() << "sample photo london.jpg not readable";
  LumaImage texture = filled(1200, 900, 0);
  for (std::uint32_t y = 0; y < texture.height; ++y) {
    for (std::uint32_t x = 0; x < texture.width; ++x) {
      texture.pixels[std::size_t{y} * texture.width + x] =
          static_cast<std::uint8_t>((x * 7 + y * 3 + (x * y) % 51) % 256);
    }
  }
  return texture;
}

LumaImage throughJpeg(const LumaImage& image, int quality) {
  velmora::testing::TempDir dir;
  const std::string file = (dir / "code.jpg").string();
  save(image, file + "[Q=" + std::to_string(quality) + "]");
  return loadLuma(file).value();
}

TEST(QrDetector, FindsGeneratedCodes) {
  const LumaImage photo = background();
  const LumaImage plain = codeImage({});
  struct Case {
    std::string name;
    LumaImage image;
  };
  const std::vector<Case> cases = {
      {"version 1, level L, 2 px", codeImage({"A1", 1, QR_ECLEVEL_L, 2, 4})},
      {"version 2, level H, 3 px", codeImage({"velmora", 2, QR_ECLEVEL_H, 3, 4})},
      {"version 10, level Q, 4 px", codeImage({std::string(150, 'x'), 10, QR_ECLEVEL_Q, 4, 4})},
      {"version 25, level M, 3 px", codeImage({std::string(600, 'y'), 25, QR_ECLEVEL_M, 3, 4})},
      {"version 40, level L, 2 px", codeImage({std::string(2000, 'z'), 40, QR_ECLEVEL_L, 2, 4})},
      {"version 3, 40 px modules", codeImage({"big", 3, QR_ECLEVEL_M, 40, 4})},
      {"narrow quiet zone", codeImage({"edge", 2, QR_ECLEVEL_M, 5, 1})},
      {"turned 90 degrees", rotated(plain, 90)},
      {"turned 30 degrees", rotated(plain, 30)},
      {"turned 45 degrees, version 6", rotated(codeImage({std::string(90, 'q'), 6}), 45)},
      {"inverted", inverted(plain)},
      {"on a photo", pasted(photo, codeImage({"photo", 4, QR_ECLEVEL_M, 6, 4}), 150, 100)},
      {"small on a photo", pasted(photo, codeImage({"photo", 2, QR_ECLEVEL_M, 3, 2}), 400, 300)},
      {"JPEG quality 30", throughJpeg(codeImage({"jpeg", 5, QR_ECLEVEL_M, 4, 4}), 30)},
      {"turned 30 degrees on a photo as JPEG",
       throughJpeg(pasted(photo, rotated(codeImage({"all", 3, QR_ECLEVEL_Q, 6, 4}), 30), 200, 150),
                   60)},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(hasQR(&c.image)) << c.name;
    EXPECT_TRUE(qrAvailable) << c.name;
  }
}

TEST(QrDetector, OtherSymbolsAndPlainImagesAreNoQrCode) {
  const LumaImage photo = background();
  struct Case {
    std::string name;
    LumaImage image;
  };
  const std::vector<Case> cases = {
      {"white", filled(640, 480, 255)},
      {"black", filled(640, 480, 0)},
      {"one pixel", filled(1, 1, 0)},
      {"EAN-13 bars", barcodeImage()},
      {"photo", photo},
      {"photo turned", rotated(photo, 30)},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(hasQR(&c.image)) << c.name;
    EXPECT_TRUE(qrAvailable) << c.name;
  }
}

// The sample codes and look-alikes, by their ground truth: every negative
// (DataMatrix, Aztec, EAN-13, known false positives) stays negative, every
// QR sample is found.
TEST(QrDetector, SampleFilesMatchTheirGroundTruth) {
  const auto samples = velmora::testing::testdata();
  std::ifstream manifest(samples / "MANIFEST.tsv");
  std::string line;
  int positives = 0, negatives = 0;
  while (std::getline(manifest, line)) {
    if (line.rfind("qr/", 0) != 0) continue;
    const std::string path = line.substr(0, line.find('\t'));
    const std::string truth = line.substr(line.rfind('\t') + 1);
    const bool positive = truth.rfind("qr=1", 0) == 0;
    if (!positive && truth.rfind("qr=0", 0) != 0) continue;
    const auto image = loadLuma((samples / path).string());
    ASSERT_TRUE(image) << path;
    EXPECT_EQ(hasQR(&*image), positive) << path;
    EXPECT_TRUE(qrAvailable) << path;
    (positive ? positives : negatives) += 1;
  }
  EXPECT_GT(positives, 0);
  EXPECT_GT(negatives, 0);
}

TEST(QrDetector, RgbBecomesLuminanceAndAMismatchIsRefused) {
  const LumaImage grey = lumaFromRgb(3, 1, {255, 255, 255, 255, 0, 0, 0, 0, 255});
  EXPECT_EQ(grey.pixels, (std::vector<std::uint8_t>{255, 76, 29}));
  const LumaImage code = codeImage({});
  std::vector<std::uint8_t> rgb;
  for (std::uint8_t value : code.pixels) rgb.insert(rgb.end(), {value, value, value});
  const LumaImage fromRgb = lumaFromRgb(code.width, code.height, rgb);
  EXPECT_EQ(fromRgb.pixels, code.pixels);
  EXPECT_TRUE(hasQR(&fromRgb));
  rgb.pop_back();
  const LumaImage broken = lumaFromRgb(code.width, code.height, rgb);
  EXPECT_FALSE(hasQR(&broken));
  EXPECT_FALSE(qrAvailable);
}

TEST(QrDetector, ShrinkAveragesBlocks) {
  LumaImage image = filled(5, 3, 0);
  image.pixels = {0,   100, 200, 50, 7,  //
                  100, 200, 0,   50, 7,  //
                  9,   9,   9,   9,  9};
  const LumaImage small = shrunk(image, 2);
  EXPECT_EQ(small.width, 2u);
  EXPECT_EQ(small.height, 1u);
  EXPECT_EQ(small.pixels, (std::vector<std::uint8_t>{100, 75}));
  EXPECT_EQ(shrunk(filled(3, 3, 7), 8).pixels, std::vector<std::uint8_t>{7});
}

}  // namespace
}  // namespace velmora::qr
