#include "support/sample_files.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <deque>
#include <fstream>

#include <vips/vips8>

#include "base/vips.h"

namespace velmora::testing {

void writeFlatJpeg(const std::filesystem::path& file, int shade, int width, int height) {
  ASSERT_TRUE(base::ensureVips());
  std::filesystem::create_directories(file.parent_path());
  // The sum is a float image, which the JPEG writer would show as white.
  (vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3)) + shade)
      .cast(VIPS_FORMAT_UCHAR)
      .jpegsave(file.c_str());
}

void writeNoiseJpeg(const std::filesystem::path& file, int width, int height) {
  ASSERT_TRUE(base::ensureVips());
  std::filesystem::create_directories(file.parent_path());
  vips::VImage::gaussnoise(width, height).cast(VIPS_FORMAT_UCHAR).jpegsave(file.c_str());
}

std::vector<std::string> writeTrickyPictures(const std::filesystem::path& folder) {
  EXPECT_TRUE(base::ensureVips());
  std::filesystem::create_directories(folder);
  using vips::VImage;
  std::deque<std::string> names;
  // vips8 takes C strings; the names live as long as this call.
  const auto path = [&](const char* name) {
    names.push_back((folder / name).string());
    return names.back().c_str();
  };
  const VImage rgb = VImage::black(96, 64, VImage::option()->set("bands", 3))
                         .linear({1, 1, 1}, {200, 30, 30})
                         .cast(VIPS_FORMAT_UCHAR)
                         .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  const VImage cmyk = rgb.icc_transform(
      "cmyk", VImage::option()->set("input_profile", "srgb")->set("embedded", false));
  cmyk.jpegsave(path("cmyk_profile.jpg"));
  cmyk.jpegsave(path("cmyk_no_profile.jpg"), VImage::option()->set("strip", true));

  const VImage ramp = VImage::xyz(96, 64)[0].linear(600.0, 0.0).cast(VIPS_FORMAT_USHORT);
  const VImage opaque = VImage::black(96, 64).linear(0.0, 65535.0).cast(VIPS_FORMAT_USHORT);
  ramp.bandjoin(opaque)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_GREY16))
      .pngsave(path("grey16_alpha.png"), VImage::option()->set("bitdepth", 16));

  // Three stripes: red, white, blue, each a third of the height.
  const VImage y = VImage::xyz(96, 63)[1];
  const VImage red = VImage::black(96, 63, VImage::option()->set("bands", 3))
                         .linear({1, 1, 1}, {174.0 * 257, 28.0 * 257, 40.0 * 257});
  const VImage white = VImage::black(96, 63, VImage::option()->set("bands", 3)).linear(1.0, 65535.0);
  const VImage blue = VImage::black(96, 63, VImage::option()->set("bands", 3))
                          .linear({1, 1, 1}, {33.0 * 257, 70.0 * 257, 139.0 * 257});
  (y < 21)
      .ifthenelse(red, (y < 42).ifthenelse(white, blue))
      .cast(VIPS_FORMAT_USHORT)
      .copy(VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16))
      .pngsave(path("flag16.png"), VImage::option()->set("bitdepth", 16));

  rgb.icc_transform("p3", VImage::option()->set("input_profile", "srgb"))
      .pngsave(path("p3.png"));

  const VImage alpha = (VImage::xyz(96, 64)[0] < 48).ifthenelse(0, 255).cast(VIPS_FORMAT_UCHAR);
  rgb.bandjoin(alpha).pngsave(path("transparent.png"));
  rgb.bandjoin(alpha).heifsave(path("alpha.heic"));
  // HEVC codes whole 2 x 2 blocks: the container crops what it padded.
  VImage::black(451, 461, VImage::option()->set("bands", 3)).heifsave(path("odd.heic"));

  // Noise keeps the pixel data long enough to cut in its middle.
  const VImage noise = VImage::gaussnoise(256, 256).cast(VIPS_FORMAT_UCHAR);
  const auto truncated = [&](const char* name, const char* suffix) {
    void* buffer = nullptr;
    std::size_t length = 0;
    vips_image_write_to_buffer(noise.get_image(), suffix, &buffer, &length, nullptr);
    EXPECT_GT(length, 1000u) << name;
    std::ofstream(folder / name, std::ios::binary)
        .write(static_cast<const char*>(buffer), static_cast<std::streamsize>(length / 2));
    g_free(buffer);
  };
  truncated("truncated.jpg", ".jpg");
  truncated("truncated.png", ".png");
  truncated("truncated.gif", ".gif");
  return {"cmyk_profile.jpg", "cmyk_no_profile.jpg", "grey16_alpha.png", "flag16.png",
          "p3.png",           "transparent.png",     "alpha.heic",       "odd.heic",
          "truncated.jpg",    "truncated.png",    "truncated.gif"};
}

}  // namespace velmora::testing
