// The built executable scanning real files in a temporary pictures folder.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <filesystem>

#include "bridge/messages.h"
#include "bridge/photos/preview.h"
#include "base/vips.h"
#include "inventory/raw_sample.h"
#include "inventory/thumbnail.h"
#include "support/bridge_runner.h"
#include "support/pixels.h"
#include "support/sample_files.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  static constexpr char digits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char byte : digest) {
    text.push_back(digits[byte >> 4]);
    text.push_back(digits[byte & 15]);
  }
  return text;
}

// A preview file decoded in full; no value when it does not decode.
std::optional<photos::RgbImage> decodeJpeg(const fs::path& file) {
  base::ensureVips();
  VipsImage* image = vips_image_new_from_file(file.c_str(), "fail", TRUE, nullptr);
  if (!image) {
    vips_error_clear();
    return std::nullopt;
  }
  std::size_t length = 0;
  void* memory =
      vips_image_get_bands(image) == 3 ? vips_image_write_to_memory(image, &length) : nullptr;
  std::optional<photos::RgbImage> rgb;
  if (memory) {
    rgb = photos::RgbImage{static_cast<std::uint32_t>(vips_image_get_width(image)),
                           static_cast<std::uint32_t>(vips_image_get_height(image)),
                           {}};
    const auto* bytes = static_cast<const std::uint8_t*>(memory);
    rgb->pixels.assign(bytes, bytes + length);
    g_free(memory);
  }
  g_object_unref(image);
  vips_error_clear();
  return rgb;
}

photos::RgbImage gradient(std::uint32_t width, std::uint32_t height) {
  photos::RgbImage image{width, height, {}};
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      image.pixels.insert(image.pixels.end(), {static_cast<std::uint8_t>(x * 255 / width),
                                               static_cast<std::uint8_t>(y * 255 / height), 60});
    }
  }
  return image;
}

const char* ratingFive =
    R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">)"
    R"(<rdf:Description rdf:about="" xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmp:Rating="5"/>)"
    R"(</rdf:RDF></x:xmpmeta>)";

void expectCleanRun(const BridgeRun& run) {
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.allLinesParsed) << run.out;
  EXPECT_EQ(run.err, "");
}

const json* itemFor(const json& result, const std::string& assetId) {
  for (const json& item : result["items"]) {
    if (item["asset_id"] == assetId) return &item;
  }
  return nullptr;
}

class ScanEndToEnd : public ::testing::Test {
 protected:
  void copy(const std::string& sample, const std::string& name) {
    fs::create_directories((home.pictures() / name).parent_path());
    fs::copy_file(testdata() / sample, home.pictures() / name);
  }
  TestHome home;
};

TEST_F(ScanEndToEnd, TenAssetsGiveTenRecordsAndUprightPreviews) {
  copy("photos/orientation/Landscape_6.jpg", "DCIM/IMG_0001.jpg");
  copy("photos/heif/androidx_sample_still_photo.heic", "DCIM/IMG_0002.heic");
  copy("photos/jpeg/london.jpg", "DCIM/IMG_0003.jpg");
  copy("video/sample.mp4", "DCIM/IMG_0003.mov");  // its live-photo video
  writeFile(home.pictures() / "DCIM/IMG_0004.jpg", *inventory::encodeJpeg(gradient(800, 600), 90));
  writeFile(home.pictures() / "DCIM/IMG_0004.xmp", ratingFive);
  copy("screenshots/btop_normal.png", "Screenshots/Screenshot from 2024-05-01 10-00-00.png");
  fs::create_symlink(home.scratch() / "only-in-the-cloud.jpg", home.pictures() / "cloud.jpg");
  copy("video/sample.mp4", "clip.mp4");
  writeTrickyPictures(home.scratch() / "made");
  fs::copy_file(home.scratch() / "made/cmyk_profile.jpg", home.pictures() / "cmyk.jpg");
  copy("tricky/gray/hopper_gray.jpg", "gray.jpg");
  copy("video/dolbyVision-hdr.MOV", "portrait.MOV");
  const fs::path previews = home.scratch() / "previews";
  fs::create_directory(previews);

  const BridgeRun run = runBridge({"scan", previews.string()}, home);
  expectCleanRun(run);
  ASSERT_EQ(run.lines.size(), 11u) << run.out;
  for (std::size_t n = 0; n < 10; ++n) {
    EXPECT_EQ(run.lines[n],
              (json{{"progress", "Fotomediathek: " + std::to_string(n + 1) + "/10"}}));
  }
  const json& result = run.lines.back();
  ASSERT_EQ(result["items"].size(), 10u);
  for (std::size_t n = 0; n < 10; ++n) {
    const json& item = result["items"][n];
    EXPECT_EQ(item["id"], std::to_string(n));
    EXPECT_EQ(item["owner"], ::getuid());
    EXPECT_EQ(item["path"], "Fotos / " + item["name"].get<std::string>());
    const fs::path preview = previews / (std::to_string(n) + ".jpg");
    if (item["asset_id"] == "cloud.jpg") {
      EXPECT_FALSE(fs::exists(preview));
      continue;
    }
    const auto decoded = decodeJpeg(preview);
    ASSERT_TRUE(decoded) << item.dump();
    // The asset's displayed size fitted into 600 x 600, never enlarged.
    const double width = item["width"].get<double>();
    const double height = item["height"].get<double>();
    const double scale = std::min({1.0, 600 / width, 600 / height});
    EXPECT_NEAR(decoded->width, width * scale, 1.0) << item.dump();
    EXPECT_NEAR(decoded->height, height * scale, 1.0) << item.dump();
  }

  const json* turned = itemFor(result, "DCIM/IMG_0001.jpg");
  ASSERT_TRUE(turned);
  EXPECT_EQ((*turned)["width"], 1800);
  EXPECT_EQ((*turned)["height"], 1200);
  const auto upright = photos::renderPreview(
      {"x",
       1,
       {{1, "public.jpeg", "x", (testdata() / "photos/orientation/Landscape_1.jpg").string()}}},
      600, 600);
  const auto written = decodeJpeg(previews / ((*turned)["id"].get<std::string>() + ".jpg"));
  ASSERT_TRUE(upright && written);
  EXPECT_LT(meanDifference(*written, *upright), 10.0);

  const json* live = itemFor(result, "DCIM/IMG_0003.jpg");
  ASSERT_TRUE(live);
  EXPECT_EQ((*live)["size"], fs::file_size(home.pictures() / "DCIM/IMG_0003.jpg") +
                                 fs::file_size(home.pictures() / "DCIM/IMG_0003.mov"));
  EXPECT_EQ((*live)["video"], 0);
  EXPECT_TRUE((*live).contains("dhash_string"));
  EXPECT_EQ((*live)["size_known"], 1);

  const json* favourite = itemFor(result, "DCIM/IMG_0004.jpg");
  ASSERT_TRUE(favourite);
  EXPECT_EQ((*favourite)["favorite"], true);

  const json* screenshot = itemFor(result, "Screenshots/Screenshot from 2024-05-01 10-00-00.png");
  ASSERT_TRUE(screenshot);
  EXPECT_EQ((*screenshot)["screenshot"], 1);
  EXPECT_EQ((*screenshot)["favorite"], false);

  for (const char* name : {"clip.mp4", "portrait.MOV"}) {
    const json* video = itemFor(result, name);
    ASSERT_TRUE(video) << name;
    EXPECT_EQ((*video)["video"], 1);
    EXPECT_FALSE(video->contains("dhash_string"));
    for (const char* key : {"qr", "qr_checked", "sharpness", "variance"}) {
      EXPECT_TRUE(video->contains(key)) << name << " " << key;
    }
  }
  const auto portrait =
      decodeJpeg(previews / ((*itemFor(result, "portrait.MOV"))["id"].get<std::string>() + ".jpg"));
  ASSERT_TRUE(portrait);
  EXPECT_LT(portrait->width, portrait->height);

  const json* cmyk = itemFor(result, "cmyk.jpg");
  ASSERT_TRUE(cmyk);
  const std::string bytes = readFile(home.pictures() / "cmyk.jpg");
  EXPECT_EQ((*cmyk)["hash"], sha256Hex("1:public.jpeg:" + sha256Hex(bytes)));
  EXPECT_EQ((*cmyk)["size"], bytes.size());

  const json* cloud = itemFor(result, "cloud.jpg");
  ASSERT_TRUE(cloud);
  EXPECT_EQ((*cloud)["size_known"], 0);
  EXPECT_EQ((*cloud)["size"], 0);
  EXPECT_FALSE(cloud->contains("hash"));
  EXPECT_FALSE(cloud->contains("qr"));
  EXPECT_EQ(result["errors"],
            json::array({std::string("cloud.jpg") + bridge::messages::scanWarningSuffix}));
}

TEST_F(ScanEndToEnd, EmptyLibraryAnswersWithEmptyArrays) {
  const BridgeRun run = runBridge({"scan", home.scratch().string()}, home);
  expectCleanRun(run);
  ASSERT_EQ(run.lines.size(), 1u);
  EXPECT_EQ(run.lines[0], (json{{"items", json::array()}, {"errors", json::array()}}));
}

TEST_F(ScanEndToEnd, MissingScanFolderStillGivesEveryRecord) {
  copy("photos/jpeg/london.jpg", "london.jpg");
  copy("video/testvid_1022ms.mp4", "clip.mp4");
  const fs::path previews = home.scratch() / "previews";
  fs::create_directory(previews);
  const BridgeRun with = runBridge({"scan", previews.string()}, home);
  const BridgeRun without = runBridge({"scan", (home.scratch() / "absent").string()}, home);
  expectCleanRun(with);
  expectCleanRun(without);
  ASSERT_FALSE(with.lines.empty());
  ASSERT_FALSE(without.lines.empty());
  EXPECT_EQ(without.lines.back(), with.lines.back());
  EXPECT_EQ(without.lines.back()["items"].size(), 2u);
  EXPECT_FALSE(fs::exists(home.scratch() / "absent"));
}

TEST_F(ScanEndToEnd, BrokenAndOddFilesAreInventoriedQuietly) {
  for (const char* sample : {"bad/bomb/lottapixel.jpg", "bad/truncated/truncated_jpeg.jpg",
                             "bad/corrupt/broken_data_stream.png", "video/sample_audio_only.mp4",
                             "photos/webp/lossy_alpha.webp"}) {
    copy(sample, fs::path(sample).filename());
  }
  writeFile(home.pictures() / "notes.pdf", "%PDF-1.4 not a photo");
  const BridgeRun run = runBridge({"scan", home.scratch().string()}, home);
  expectCleanRun(run);
  ASSERT_FALSE(run.lines.empty());
  const json& result = run.lines.back();
  ASSERT_TRUE(result.contains("items"));
  const json* bomb = itemFor(result, "lottapixel.jpg");
  ASSERT_TRUE(bomb);
  EXPECT_FALSE(bomb->contains("dhash_string"));  // refused, not decoded
  EXPECT_EQ((*bomb)["size_known"], 1);
  for (const json& item : result["items"]) {
    // Whatever else the library lists is no image and carries no hash.
    if (item["asset_id"] == "notes.pdf") {
      EXPECT_FALSE(item.contains("dhash_string"));
    }
  }
}

TEST_F(ScanEndToEnd, RawFilesShowTheirPartnerOrTheirOwnPreview) {
  writeRawSample(home.pictures() / "IMG_0001.DNG");  // alone
  writeRawSample(home.pictures() / "IMG_0002.DNG");  // beside a JPEG
  copy("photos/jpeg/london.jpg", "IMG_0002.JPG");
  const BridgeRun run = runBridge({"scan", home.scratch().string()}, home);
  expectCleanRun(run);
  ASSERT_FALSE(run.lines.empty());
  const json& result = run.lines.back();
  ASSERT_EQ(result["items"].size(), 2u) << run.out;
  const json* alone = itemFor(result, "IMG_0001.DNG");
  const json* paired = itemFor(result, "IMG_0002.JPG");
  ASSERT_TRUE(alone && paired) << run.out;
  const auto raw = decodeJpeg(home.scratch() / ((*alone)["id"].get<std::string>() + ".jpg"));
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->width, 106u);
  EXPECT_EQ(raw->height, 160u);
  const auto jpeg = decodeJpeg(home.scratch() / ((*paired)["id"].get<std::string>() + ".jpg"));
  ASSERT_TRUE(jpeg);
  EXPECT_EQ(jpeg->width, 600u);
  EXPECT_EQ(jpeg->height, 452u);
  EXPECT_EQ((*paired)["size"], fs::file_size(home.pictures() / "IMG_0002.JPG") +
                                   fs::file_size(home.pictures() / "IMG_0002.DNG"));
}

}  // namespace
}  // namespace velmora::testing
