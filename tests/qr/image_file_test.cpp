#include "qr/image_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <vips/vips.h>

#include <filesystem>

#include "base/vips.h"
#include "qr/qr_images.h"
#include "support/sample_files.h"
#include "support/temp_dir.h"

namespace velmora::qr {
namespace {

using namespace velmora::qr::testing;
using velmora::testing::readFile;
using velmora::testing::TempDir;
using velmora::testing::testdata;
using velmora::testing::writeFile;
using velmora::testing::writeTrickyPictures;
namespace fs = std::filesystem;

TEST(QrImageFile, DecodesEveryStillFormatToFullSizeLuminance) {
  TempDir dir;
  const LumaImage code = codeImage({"formats", 3, QR_ECLEVEL_M, 5, 4});
  for (const std::string name : {"code.jpg", "code.png", "code.webp", "code.tif", "code.gif",
                                 "code.avif", "a [Q=5] name.png"}) {
    const std::string file = (dir / name).string();
    // Bracketed options in a name are part of the name when loading.
    save(code, name.find('[') == std::string::npos ? file : (dir / "plain.png").string());
    if (name.find('[') != std::string::npos) std::filesystem::rename(dir / "plain.png", file);
    const auto image = loadLuma(file);
    ASSERT_TRUE(image) << name;
    EXPECT_EQ(image->width, code.width) << name;
    EXPECT_EQ(image->height, code.height) << name;
    EXPECT_EQ(image->pixels.size(), std::size_t{code.width} * code.height) << name;
    EXPECT_TRUE(hasQR(&*image)) << name;
  }
}

TEST(QrImageFile, TransparencyIsLaidOverWhite) {
  // Dark modules opaque, everything else fully transparent black: only a
  // white ground makes the code visible.
  const LumaImage code = codeImage({"alpha", 2, QR_ECLEVEL_M, 4, 4});
  std::vector<std::uint8_t> greyAlpha;
  for (std::uint8_t value : code.pixels) {
    greyAlpha.push_back(0);
    greyAlpha.push_back(value == 0 ? 255 : 0);
  }
  TempDir dir;
  const std::string file = (dir / "alpha.png").string();
  ASSERT_TRUE(base::ensureVips());
  VipsImage* memory =
      vips_image_new_from_memory(greyAlpha.data(), greyAlpha.size(), static_cast<int>(code.width),
                                 static_cast<int>(code.height), 2, VIPS_FORMAT_UCHAR);
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(vips_pngsave(memory, file.c_str(), nullptr), 0);
  g_object_unref(memory);
  const auto image = loadLuma(file);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->pixels.front(), 255);
  EXPECT_TRUE(hasQR(&*image));
}

TEST(QrImageFile, WhatCannotBeDecodedIsNoImage) {
  TempDir dir;
  const LumaImage code = codeImage({});
  save(code, (dir / "whole.jpg").string());
  const std::string jpeg = readFile(dir / "whole.jpg");
  writeFile(dir / "half.jpg", jpeg.substr(0, jpeg.size() / 2));
  writeFile(dir / "empty.jpg", "");
  writeFile(dir / "notes.jpg", "nur Text, kein Bild\n");
  std::filesystem::create_directory(dir / "album.jpg");
  ASSERT_EQ(::mkfifo((dir / "pipe.jpg").c_str(), 0600), 0);
  std::filesystem::create_symlink(dir / "gone.jpg", dir / "dangling.jpg");
  for (const std::string name : {"missing.jpg", "half.jpg", "empty.jpg", "notes.jpg", "album.jpg",
                                 "pipe.jpg", "dangling.jpg"}) {
    EXPECT_FALSE(loadLuma((dir / name).string())) << name;
  }
  EXPECT_FALSE(loadLuma(""));
  std::filesystem::create_symlink(dir / "whole.jpg", dir / "link.jpg");
  EXPECT_TRUE(loadLuma((dir / "link.jpg").string()));
}

TEST(QrImageFile, BrokenSamplesAreNoImageButOddOnesDecode) {
  const auto samples = testdata();
  TempDir tricky;
  writeTrickyPictures(tricky.path());
  // The 64250 x 64250 JPEG is refused by its header, before any decoding.
  for (const fs::path& broken :
       {samples / "bad/bomb/lottapixel.jpg", samples / "bad/corrupt/broken_data_stream.png",
        samples / "bad/corrupt/libpng_huge_IDAT.png", samples / "bad/truncated/truncated_image.png",
        samples / "bad/truncated/truncated_jpeg.jpg", tricky / "truncated.png",
        tricky / "truncated.gif", tricky / "truncated.jpg"}) {
    EXPECT_FALSE(loadLuma(broken.string())) << broken;
  }
  struct Odd {
    fs::path path;
    std::uint32_t width, height;
  };
  for (const Odd& odd : {Odd{samples / "bad/corrupt/broken_iccp.png", 248, 248},
                         Odd{samples / "bad/corrupt/hopper_idat_after_image_end.png", 128, 128},
                         Odd{samples / "bad/truncated/truncated_end_chunk.png", 128, 128},
                         Odd{tricky / "cmyk_no_profile.jpg", 96, 64},
                         Odd{tricky / "grey16_alpha.png", 96, 64},
                         Odd{samples / "photos/webp/lossy_alpha.webp", 100, 100},
                         Odd{samples / "photos/heif/androidx_sample_still_photo.heic", 1080, 1920}}) {
    const auto image = loadLuma(odd.path.string());
    ASSERT_TRUE(image) << odd.path;
    EXPECT_EQ(image->width, odd.width) << odd.path;
    EXPECT_EQ(image->height, odd.height) << odd.path;
  }
}

}  // namespace
}  // namespace velmora::qr
