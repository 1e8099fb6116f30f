#include "support/sample_files.h"

#include <gtest/gtest.h>
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

}  // namespace velmora::testing
