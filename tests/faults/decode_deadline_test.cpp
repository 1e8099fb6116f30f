// A decoder that takes too long over one file, inside the pixel limit: the
// file is given up at its deadline and answered like an undecodable one;
// the next file, and the same file under a normal deadline, decode.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <vips/vips8>

#include "base/deadline.h"
#include "bridge/photos/preview/preview_formats.h"
#include "base/vips.h"
#include "qr/image_file.h"
#include "semantic/object_classifier.h"
#include "support/temp_dir.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
using base::Clock;

// Sets the per-file limit for one test and puts the old one back.
class FileTimeLimit {
 public:
  explicit FileTimeLimit(Clock::duration limit) : saved_(base::fileTimeLimit()) {
    base::setFileTimeLimit(limit);
  }
  ~FileTimeLimit() { base::setFileTimeLimit(saved_); }
  FileTimeLimit(const FileTimeLimit&) = delete;
  FileTimeLimit& operator=(const FileTimeLimit&) = delete;

 private:
  Clock::duration saved_;
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(DecodeDeadline, PicturesAndVideosPastTheirDeadlineAreGivenUp) {
  ASSERT_TRUE(base::ensureVips());
  TempDir dir;
  // 64 megapixels: well inside the pixel limit, and far more than a
  // millisecond's work to decode. A gradient, so that it is no trivial PNG.
  const fs::path png = dir / "large.png";
  (vips::VImage::xyz(8000, 8000)[0] % 256).cast(VIPS_FORMAT_UCHAR).pngsave(png.c_str());
  const fs::path video = testdata() / "video" / "sample.mp4";

  {
    const FileTimeLimit tiny(std::chrono::milliseconds(1));
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(photos::renderStill(png.string(), 600, 600).has_value());
    std::cout << "[ timing ] preview given up after " << secondsSince(start) << " s\n";
    start = Clock::now();
    EXPECT_FALSE(qr::loadLuma(png.string()).has_value());
    std::cout << "[ timing ] QR decode given up after " << secondsSince(start) << " s\n";
    start = Clock::now();
    std::string error;
    EXPECT_TRUE(semantic::detectorInput(png.string(), error).empty());
    EXPECT_FALSE(error.empty());
    std::cout << "[ timing ] classifier input given up after " << secondsSince(start) << " s\n";
    start = Clock::now();
    EXPECT_FALSE(photos::renderVideo(video.string(), 600, 600).has_value());
    std::cout << "[ timing ] video preview given up after " << secondsSince(start) << " s\n";
  }

  // The default deadline: the same files decode whole, with nothing left
  // over from the runs that were stopped.
  EXPECT_EQ(base::fileTimeLimit(), base::defaultFileTimeLimit);
  Clock::time_point start = Clock::now();
  const auto preview = photos::renderStill(png.string(), 600, 600);
  std::cout << "[ timing ] preview made in " << secondsSince(start) << " s\n";
  ASSERT_TRUE(preview.has_value());
  EXPECT_EQ(preview->width, 600u);
  EXPECT_EQ(preview->height, 600u);
  start = Clock::now();
  const auto luma = qr::loadLuma(png.string());
  std::cout << "[ timing ] QR decode done in " << secondsSince(start) << " s\n";
  ASSERT_TRUE(luma.has_value());
  EXPECT_EQ(luma->width, 8000u);
  EXPECT_EQ(luma->height, 8000u);
  EXPECT_EQ(luma->pixels[8000 * 5 + 300], 300 % 256);
  std::string error;
  EXPECT_EQ(semantic::detectorInput(png.string(), error).size(),
            std::size_t{semantic::detectorSide} * semantic::detectorSide * 3)
      << error;
  start = Clock::now();
  const auto frame = photos::renderVideo(video.string(), 600, 600);
  std::cout << "[ timing ] video preview made in " << secondsSince(start) << " s\n";
  ASSERT_TRUE(frame.has_value());
  EXPECT_GT(frame->width, 0u);
}

}  // namespace
}  // namespace velmora::testing
