#include "inventory/thumbnail.h"

#include <gtest/gtest.h>
#include <qrencode.h>
#include <vips/vips.h>

#include <filesystem>

#include "qr/detector.h"
#include "support/fake_library.h"
#include "support/temp_dir.h"

namespace velmora::inventory {
namespace {

namespace fs = std::filesystem;
using testing::FakeLibrary;
using testing::TempDir;

photos::RgbImage gradient(std::uint32_t width, std::uint32_t height) {
  photos::RgbImage image{width, height, {}};
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      image.pixels.push_back(static_cast<std::uint8_t>(x * 255 / width));
      image.pixels.push_back(static_cast<std::uint8_t>(y * 255 / height));
      image.pixels.push_back(90);
    }
  }
  return image;
}

// Width and height of a JPEG file as a decoder sees it; zero when it fails.
std::pair<int, int> decodedSize(const fs::path& file) {
  VipsImage* image = vips_image_new_from_file(file.c_str(), "fail", TRUE, nullptr);
  if (!image) {
    vips_error_clear();
    return {0, 0};
  }
  double average = 0;
  const bool decoded = vips_avg(image, &average, nullptr) == 0;
  const std::pair<int, int> size{decoded ? vips_image_get_width(image) : 0,
                                 decoded ? vips_image_get_height(image) : 0};
  g_object_unref(image);
  vips_error_clear();
  return size;
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

struct Fixture {
  FakeLibrary library;
  photos::Asset asset;
  explicit Fixture(std::optional<photos::RgbImage> preview) {
    asset = library.add("a.jpg", photos::mediaTypeImage, {{1, "public.jpeg", std::string("x")}});
    library.entries.back().preview = std::move(preview);
  }
};

TEST(Thumbnail, WritesDecodableJpegOfTheBitmapSizeAndAllFiveKeys) {
  TempDir folder;
  Fixture fixture(gradient(300, 200));
  const bridge::Json metrics = thumbnail(fixture.library, fixture.asset, folder / "0.jpg");
  EXPECT_EQ(decodedSize(folder / "0.jpg"), std::make_pair(300, 200));
  EXPECT_EQ(namesIn(folder.path()), std::vector<std::string>{"0.jpg"});  // no temporary left
  ASSERT_EQ(metrics.size(), 5u) << metrics.dump();
  EXPECT_TRUE(metrics["qr"].is_boolean());
  EXPECT_TRUE(metrics["qr_checked"].is_boolean());
  EXPECT_TRUE(metrics["dhash_string"].is_string());
  EXPECT_TRUE(metrics["sharpness"].is_number_float());
  EXPECT_TRUE(metrics["variance"].is_number_float());
  EXPECT_GT(metrics["variance"].get<double>(), 0.0);
}

TEST(Thumbnail, ReplacesAnEarlierPreviewOfTheSameName) {
  TempDir folder;
  testing::writeFile(folder / "3.jpg", "an older preview");
  Fixture fixture(gradient(40, 60));
  thumbnail(fixture.library, fixture.asset, folder / "3.jpg");
  EXPECT_EQ(decodedSize(folder / "3.jpg"), std::make_pair(40, 60));
}

TEST(Thumbnail, NoImageMeansEmptyResultNoFileAndUntouchedQrFlag) {
  TempDir folder;
  for (auto& preview : std::vector<std::optional<photos::RgbImage>>{
           std::nullopt, photos::RgbImage{},
           photos::RgbImage{4, 4, std::vector<std::uint8_t>(5)}}) {
    Fixture fixture(preview);
    qr::qrAvailable = false;
    const bridge::Json metrics = thumbnail(fixture.library, fixture.asset, folder / "0.jpg");
    EXPECT_TRUE(metrics.is_object());
    EXPECT_TRUE(metrics.empty());
    EXPECT_FALSE(qr::qrAvailable);
    EXPECT_FALSE(fs::exists(folder / "0.jpg"));
  }
  qr::qrAvailable = true;
}

TEST(Thumbnail, FailedWriteStillMeasuresAndChangesNothing) {
  TempDir folder;
  Fixture fixture(gradient(64, 48));
  const bridge::Json reference = thumbnail(fixture.library, fixture.asset, folder / "ok.jpg");

  // A missing folder: nothing appears, the metrics are complete.
  const bridge::Json missing =
      thumbnail(fixture.library, fixture.asset, folder / "absent" / "0.jpg");
  EXPECT_EQ(missing, reference);
  EXPECT_FALSE(fs::exists(folder / "absent"));

  // A folder in the preview's place cannot be replaced: it stays as it was,
  // and no temporary file is left beside it.
  fs::create_directory(folder / "1.jpg");
  testing::writeFile(folder / "1.jpg" / "keep", "kept");
  const bridge::Json blocked = thumbnail(fixture.library, fixture.asset, folder / "1.jpg");
  EXPECT_EQ(blocked, reference);
  EXPECT_EQ(testing::readFile(folder / "1.jpg" / "keep"), "kept");
  EXPECT_EQ(namesIn(folder.path()), (std::vector<std::string>{"1.jpg", "ok.jpg"}));
}

// A QR code of `text`, eight pixels per module, in a white quiet zone.
photos::RgbImage qrPicture(const char* text) {
  QRcode* code = QRcode_encodeString(text, 0, QR_ECLEVEL_M, QR_MODE_8, 1);
  const std::uint32_t modules = static_cast<std::uint32_t>(code->width);
  const std::uint32_t side = (modules + 8) * 8;
  photos::RgbImage image{side, side, std::vector<std::uint8_t>(std::size_t{side} * side * 3, 255)};
  for (std::uint32_t y = 0; y < side; ++y) {
    for (std::uint32_t x = 0; x < side; ++x) {
      const std::int64_t mx = static_cast<std::int64_t>(x / 8) - 4;
      const std::int64_t my = static_cast<std::int64_t>(y / 8) - 4;
      if (mx < 0 || my < 0 || mx >= code->width || my >= code->width) continue;
      if (code->data[my * code->width + mx] & 1) {
        std::fill_n(
            image.pixels.begin() + static_cast<std::ptrdiff_t>((std::size_t{y} * side + x) * 3), 3,
            0);
      }
    }
  }
  QRcode_free(code);
  return image;
}

TEST(Thumbnail, AsksTheQrDetectorAboutThePreview) {
  TempDir folder;
  Fixture withCode(qrPicture("https://example.org/velmora"));
  const bridge::Json found = thumbnail(withCode.library, withCode.asset, folder / "0.jpg");
  EXPECT_EQ(found["qr"], true);
  EXPECT_EQ(found["qr_checked"], true);
  Fixture without(gradient(300, 300));
  const bridge::Json none = thumbnail(without.library, without.asset, folder / "1.jpg");
  EXPECT_EQ(none["qr"], false);
  EXPECT_EQ(none["qr_checked"], true);
}

TEST(Thumbnail, QualityEightyKeepsDetailButCompresses) {
  const photos::RgbImage image = gradient(600, 400);
  const auto q80 = encodeJpeg(image, 80);
  const auto q95 = encodeJpeg(image, 95);
  ASSERT_TRUE(q80 && q95);
  EXPECT_LT(q80->size(), q95->size());
  EXPECT_EQ(q80->substr(0, 2), "\xff\xd8");
}

}  // namespace
}  // namespace velmora::inventory
