#include "bridge/photos/preview.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>

#include "bridge/photos/media/media_metadata.h"
#include "bridge/photos/preview/preview_formats.h"
#include "inventory/raw_sample.h"
#include "support/pixels.h"
#include "support/sample_files.h"
#include "support/temp_dir.h"

namespace velmora::photos {
namespace {

namespace fs = std::filesystem;
using testing::testdata;
using testing::meanDifference;

std::string typeFor(const fs::path& file) {
  std::string ext = file.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == ".mp4") return "public.mpeg-4";
  if (ext == ".mov") return "com.apple.quicktime-movie";
  if (ext == ".webm") return "org.webmproject.webm";
  if (ext == ".3gp") return "public.3gpp";
  if (ext == ".dng") return "com.adobe.raw-image";
  if (ext == ".heic") return "public.heic";
  if (ext == ".avif") return "public.avif";
  if (ext == ".png") return "public.png";
  if (ext == ".mpo") return "public.mpo-image";
  return "public.jpeg";
}

Asset assetFor(const fs::path& file) {
  Asset asset;
  asset.localIdentifier = file.filename();
  const std::string type = typeFor(file);
  const bool video = type.find("movie") != std::string::npos || type == "public.mpeg-4" ||
                     type == "org.webmproject.webm" || type == "public.3gpp";
  asset.mediaType = video ? mediaTypeVideo : mediaTypeImage;
  asset.resources.push_back({video ? resourceTypeVideo : resourceTypePhoto, type,
                             file.filename().string(), file.string()});
  return asset;
}

std::optional<RgbImage> render(const fs::path& file) {
  return renderPreview(assetFor(file), 600, 600);
}

double meanOfRows(const RgbImage& image, std::uint32_t first, std::uint32_t last) {
  double sum = 0;
  for (std::uint32_t y = first; y < last; ++y) {
    for (std::uint32_t x = 0; x < image.width * 3; ++x)
      sum += image.pixels[(y * image.width * 3) + x];
  }
  return sum / (double(last - first) * image.width * 3);
}

TEST(RenderPreview, EveryExifOrientationShowsTheUprightPicture) {
  const fs::path folder = testdata() / "photos/orientation";
  const auto upright = render(folder / "Landscape_1.jpg");
  ASSERT_TRUE(upright);
  EXPECT_EQ(upright->width, 600u);
  EXPECT_EQ(upright->height, 400u);
  for (int orientation : {0, 2, 3, 4, 5, 6, 7, 8}) {
    const auto turned = render(folder / ("Landscape_" + std::to_string(orientation) + ".jpg"));
    ASSERT_TRUE(turned) << orientation;
    EXPECT_LT(meanDifference(*turned, *upright), 8.0) << orientation;
  }
  const auto hopper = render(folder / "pillow_hopper.jpg");
  ASSERT_TRUE(hopper);
  for (int orientation = 2; orientation <= 8; ++orientation) {
    for (const char* ext : {".jpg", ".webp"}) {
      const auto turned =
          render(folder / ("pillow_hopper_orientation_" + std::to_string(orientation) + ext));
      ASSERT_TRUE(turned) << orientation << ext;
      EXPECT_LT(meanDifference(*turned, *hopper), 12.0) << orientation << ext;
    }
  }
}

TEST(RenderPreview, HeifContainersFollowTheirTransforms) {
  const fs::path folder = testdata() / "photos/orientation";
  const auto reference = render(folder / "pillow_avif_rot0mir0.avif");
  ASSERT_TRUE(reference);
  EXPECT_EQ(reference->width, 600u);
  for (const char* name :
       {"pillow_avif_rot1mir0.avif", "pillow_avif_rot1mir1.avif", "pillow_avif_rot2mir0.avif",
        "pillow_avif_rot3mir0.avif", "pillow_avif_rot3mir1.avif"}) {
    const auto turned = render(folder / name);
    ASSERT_TRUE(turned) << name;
    EXPECT_LT(meanDifference(*turned, *reference), 12.0) << name;
  }
  const auto ronda = render(testdata() / "photos/avif/Ronda_rotate90.avif");
  ASSERT_TRUE(ronda);
  EXPECT_EQ(ronda->width, 338u);
  EXPECT_EQ(ronda->height, 600u);
}

TEST(RenderPreview, FitsInsideTheTargetAndNeverEnlarges) {
  struct Case {
    const char* file;
    std::uint32_t width, height;
  };
  for (const Case& c : std::vector<Case>{
           {"photos/jpeg/london.jpg", 600, 452},
           {"photos/jpeg/white-1x1.jpg", 1, 1},
           {"photos/jpeg/frozenpond.mpo", 600, 450},  // the left picture of two
           {"photos/heif/androidx_sample_still_photo.heic", 338, 600},
           {"photos/avif/kids_720p.avif", 600, 338},
           {"photos/motion/pixel-motion-photo-shortened.jpg", 450, 600},
           {"screenshots/loremipsum_1920x720.png", 600, 225},
           {"tricky/png/cdfn2c08.png", 8, 32},
       }) {
    const auto image = render(testdata() / c.file);
    ASSERT_TRUE(image) << c.file;
    EXPECT_EQ(image->width, c.width) << c.file;
    EXPECT_EQ(image->height, c.height) << c.file;
    EXPECT_EQ(image->pixels.size(), std::size_t{c.width} * c.height * 3) << c.file;
  }
  const auto white = render(testdata() / "photos/jpeg/white-1x1.jpg");
  ASSERT_TRUE(white);
  EXPECT_EQ(white->pixels, (std::vector<std::uint8_t>{255, 255, 255}));
}

TEST(RenderPreview, ColourSourcesBecomeEightBitSrgb) {
  const fs::path folder = testdata() / "tricky";
  // CMYK comes out near its RGB counterpart (which was made without colour
  // management, hence the margin); ink values read as RGB would be ~200 off.
  const auto rgb = render(folder / "cmyk/pil_sample_rgb.jpg");
  const auto cmyk = render(folder / "cmyk/pil_sample_cmyk.jpg");
  ASSERT_TRUE(rgb && cmyk);
  EXPECT_LT(meanDifference(*cmyk, *rgb), 40.0);
  testing::TempDir made;
  const std::vector<std::string> tricky = testing::writeTrickyPictures(made.path());
  std::vector<fs::path> files;
  for (const std::string& name : tricky) {
    if (name.rfind("truncated", 0) != 0) files.push_back(made / name);
  }
  for (const char* file : {"cmyk/tiff_strip_cmyk_jpeg.tif", "gray/hopper_gray.jpg",
                           "gray/basn0g01.png", "png16/basn6a16.png",
                           "png16/libpng_gray-16-sRGB.png", "icc/icc_profile_big.jpg"}) {
    files.push_back(folder / file);
  }
  for (const fs::path& file : files) {
    const auto image = render(file);
    ASSERT_TRUE(image) << file;
    EXPECT_EQ(image->pixels.size(), std::size_t{image->width} * image->height * 3) << file;
  }
  // A grey source keeps equal channels; a 16-bit flag keeps its red stripe;
  // the CMYK inks come back near the colour they were made from.
  const auto gray = render(folder / "gray/hopper_gray.jpg");
  ASSERT_TRUE(gray);
  for (std::size_t p = 0; p < gray->pixels.size(); p += 3) {
    ASSERT_EQ(gray->pixels[p], gray->pixels[p + 1]);
    ASSERT_EQ(gray->pixels[p], gray->pixels[p + 2]);
  }
  const auto flag = render(made / "flag16.png");
  ASSERT_TRUE(flag);
  EXPECT_GT(flag->pixels[0], 150);
  EXPECT_LT(flag->pixels[1], 80);
  const auto inks = render(made / "cmyk_profile.jpg");
  ASSERT_TRUE(inks);
  EXPECT_NEAR(inks->pixels[0], 200, 16);
  EXPECT_NEAR(inks->pixels[1], 30, 16);
  EXPECT_NEAR(inks->pixels[2], 30, 16);
}

TEST(RenderPreview, VideosShowTheirFirstFrameTurnedForDisplay) {
  struct Case {
    const char* file;
    std::uint32_t width, height;
  };
  for (const Case& c : std::vector<Case>{
           {"video/sample.mp4", 600, 400},
           {"video/sample_portrait.mp4", 400, 600},
           {"video/dolbyVision-hdr.MOV", 338, 600},                 // display matrix: -90 degrees
           {"video/sample_rotate_and_reflect.mp4", 400, 600},       // turned and mirrored
           {"video/bbb_176x144_128kbps_15fps_h263.3gp", 192, 144},  // 12:11 pixels
           {"video/bbb_642x642_768kbps_30fps_vp9.webm", 600, 600},
           {"video/sample_av1.mp4", 600, 400},
           {"video/sample_fragmented.mp4", 600, 400},
           {"video/h265_bframes.mp4", 600, 337},
       }) {
    const auto image = render(testdata() / c.file);
    ASSERT_TRUE(image) << c.file;
    EXPECT_EQ(image->width, c.width) << c.file;
    EXPECT_EQ(image->height, c.height) << c.file;
  }
  EXPECT_FALSE(render(testdata() / "video/sample_audio_only.mp4"));
}

TEST(RenderPreview, NothingLocalOrNothingDecodableGivesNoImage) {
  testing::TempDir folder;
  fs::create_symlink(folder / "elsewhere.jpg", folder / "cloud.jpg");
  fs::create_directory(folder / "folder.jpg");
  testing::writeFile(folder / "garbage.jpg", std::string(5000, 'x'));
  testing::writeFile(folder / "garbage.mp4", std::string(5000, 'x'));
  testing::writeFile(folder / "empty.heic", "");
  for (const char* name :
       {"missing.jpg", "cloud.jpg", "folder.jpg", "garbage.jpg", "garbage.mp4", "empty.heic"}) {
    EXPECT_FALSE(render(folder / name)) << name;
  }
  EXPECT_FALSE(renderPreview(Asset{}, 600, 600));
  // A header that claims 4 gigapixels is refused before decoding.
  EXPECT_FALSE(render(testdata() / "bad/bomb/lottapixel.jpg"));
  // The still of a live photo decides, even when its video is local.
  Asset live = assetFor(folder / "cloud.jpg");
  live.resources.push_back({resourceTypePairedVideo, "public.mpeg-4", "v.mp4",
                            (testdata() / "video/sample.mp4").string()});
  EXPECT_FALSE(renderPreview(live, 600, 600));
}

TEST(RenderPreview, RenderersAndHeaderReadersOpenNothingButARegularFile) {
  // The check before rendering can be overtaken by a change to the folder;
  // the readers themselves must not open a FIFO (it would wait for a writer
  // for ever) or a device, nor take an empty file to libvips, which aborts.
  testing::TempDir folder;
  ASSERT_EQ(::mkfifo((folder / "fifo.jpg").c_str(), 0600), 0);
  testing::writeFile(folder / "empty.png", "");
  for (const std::string& path : {(folder / "fifo.jpg").string(), std::string("/dev/zero"),
                                  (folder / "empty.png").string()}) {
    EXPECT_FALSE(renderStill(path, 600, 600)) << path;
    EXPECT_FALSE(renderRaw(path, 600, 600)) << path;
    EXPECT_FALSE(renderVideo(path, 600, 600)) << path;
    EXPECT_FALSE(readVideoMetadata(path)) << path;
    EXPECT_FALSE(readImageMetadata(path)) << path;
    const std::optional<SidecarMetadata> sidecar = readSidecar(path);
    EXPECT_TRUE(!sidecar || (!sidecar->rating && !sidecar->unreadable)) << path;
  }
}

TEST(RenderPreview, BrokenSamplesNeverCrash) {
  for (const auto& entry : fs::recursive_directory_iterator(testdata() / "bad")) {
    if (!entry.is_regular_file()) continue;
    // The PNG decoder spends seconds on this file's 2 GB chunk before it
    // gives up; it ends as no image, only slowly.
    if (entry.path().filename() == "libpng_huge_zTXt_chunk.png") continue;
    const auto image = render(entry.path());
    if (image) {
      EXPECT_LE(image->width, 600u) << entry.path();
      EXPECT_LE(image->height, 600u) << entry.path();
      EXPECT_EQ(image->pixels.size(), std::size_t{image->width} * image->height * 3);
    }
  }
}

TEST(RenderPreview, RawAloneShowsItsLargestEmbeddedPreviewUpright) {
  // The RAW path must use the small embedded preview and turn it.
  testing::TempDir folder;
  const fs::path file = folder / "IMG_0001.dng";
  testing::writeRawSample(file);

  const auto rendered = render(file);
  ASSERT_TRUE(rendered);
  EXPECT_EQ(rendered->width, 106u);
  EXPECT_EQ(rendered->height, 160u);
  EXPECT_GT(meanOfRows(*rendered, 0, 70), 230.0);  // the white half is now on top
  EXPECT_LT(meanOfRows(*rendered, 90, 160), 25.0);
}

}  // namespace
}  // namespace velmora::photos
