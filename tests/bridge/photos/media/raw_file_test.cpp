#include "bridge/photos/media/raw_file.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <vector>

#include "base/deadline.h"
#include "base/regular_file.h"
#include "inventory/raw_sample.h"
#include "support/raw_files.h"
#include "support/temp_dir.h"
#include "support/time_zone.h"

namespace velmora::photos {
namespace {

namespace fs = std::filesystem;
using testing::DngFile;

std::optional<RawFacts> factsOf(const fs::path& file) {
  const base::UniqueFd fd(base::openRegularFile(file.string()));
  return fd.valid() ? readRawFacts(fd.get()) : std::nullopt;
}

std::optional<RawPreview> previewOf(const fs::path& file) {
  const base::UniqueFd fd(base::openRegularFile(file.string()));
  return fd.valid() ? readRawPreview(fd.get()) : std::nullopt;
}

std::string previewJpeg() { return *inventory::encodeJpeg(testing::halves(160, 120), 90); }

TEST(RawFile, SizeAsTheCameraHeldItAndCaptureTimeWithItsOffset) {
  const testing::ScopedTimeZone zone("UTC-3");  // local time is three hours east
  const struct {
    int orientation;
    std::uint32_t pixelX, pixelY;
    std::string original, offset, subSeconds, ifd0DateTime;
    std::uint64_t width, height;
    std::optional<double> date;
  } cases[] = {
      {1, 0, 0, "2021:06:01 10:00:00", "+02:00", "25", "", 256, 192, 1622534400.25},
      {6, 0, 0, "2021:06:01 10:00:00", "+02:00", "", "", 192, 256, 1622534400},
      {8, 0, 0, "", "", "", "", 192, 256, std::nullopt},
      {3, 0, 0, "", "", "", "", 256, 192, std::nullopt},
      {5, 0, 0, "", "", "", "", 192, 256, std::nullopt},  // transposed
      // The camera's picture leaves out the sensor's margins.
      {1, 240, 180, "", "", "", "", 240, 180, std::nullopt},
      {6, 240, 180, "", "", "", "", 180, 240, std::nullopt},
      // Without an offset, and LibRaw's reading of IFD0's time: local time.
      {1, 0, 0, "2021:06:01 11:00:00", "", "", "", 256, 192, 1622534400},
      {1, 0, 0, "", "", "", "2021:06:01 11:00:00", 256, 192, 1622534400},
      {1, 0, 0, "0000:00:00 00:00:00", "", "", "", 256, 192, std::nullopt},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    DngFile dng;
    dng.previewJpeg = previewJpeg();
    dng.orientation = c.orientation;
    dng.pixelXDimension = c.pixelX;
    dng.pixelYDimension = c.pixelY;
    dng.dateTimeOriginal = c.original;
    dng.offsetTimeOriginal = c.offset;
    dng.subSecTimeOriginal = c.subSeconds;
    dng.dateTime = c.ifd0DateTime;
    testing::writeDng(dir / "a.dng", dng);
    const std::optional<RawFacts> facts = factsOf(dir / "a.dng");
    ASSERT_TRUE(facts) << c.orientation;
    EXPECT_EQ(facts->width, c.width) << c.orientation << " " << c.pixelX;
    EXPECT_EQ(facts->height, c.height) << c.orientation << " " << c.pixelX;
    EXPECT_EQ(facts->captureDate, c.date) << c.original << c.ifd0DateTime;
  }
}

TEST(RawFile, PreviewIsTheEmbeddedJpegWithTheCameraOrientation) {
  testing::TempDir dir;
  for (const int orientation : {1, 2, 3, 4, 5, 6, 7, 8}) {
    DngFile dng;
    dng.previewJpeg = previewJpeg();
    dng.orientation = orientation;
    testing::writeDng(dir / "a.dng", dng);
    const std::optional<RawPreview> preview = previewOf(dir / "a.dng");
    ASSERT_TRUE(preview) << orientation;
    EXPECT_EQ(std::string(preview->jpeg.begin(), preview->jpeg.end()), dng.previewJpeg);
    EXPECT_EQ(preview->orientation, orientation);
  }
  DngFile bare;
  testing::writeDng(dir / "bare.dng", bare);
  EXPECT_TRUE(factsOf(dir / "bare.dng"));
  EXPECT_FALSE(previewOf(dir / "bare.dng"));
}

TEST(RawFile, OtherFilesBrokenOnesAndLiesGiveNothingAndStayQuiet) {
  ::testing::internal::CaptureStderr();
  testing::TempDir dir;
  DngFile dng;
  dng.previewJpeg = previewJpeg();
  dng.dateTimeOriginal = "2021:06:01 10:00:00";
  const std::string whole = testing::dngBytes(dng);
  testing::writeFile(dir / "photo.jpg", dng.previewJpeg);
  testing::writeFile(dir / "garbage.cr3", std::string(5000, 'x'));
  testing::writeFile(dir / "empty.nef", "");
  testing::writeFile(dir / "header.dng", whole.substr(0, 8));
  for (const char* name : {"photo.jpg", "garbage.cr3", "empty.nef", "header.dng"}) {
    EXPECT_FALSE(factsOf(dir / name)) << name;
    EXPECT_FALSE(previewOf(dir / name)) << name;
  }
  // Cut anywhere in the headers and the preview, or in the sensor data: an
  // answer or none, never a crash or a read past the end.
  const std::size_t headers = 2 * dng.previewJpeg.size();
  std::vector<std::size_t> cuts;
  for (std::size_t size = 0; size < headers; size += 13) cuts.push_back(size);
  for (std::size_t size = headers; size < whole.size(); size += whole.size() / 8) {
    cuts.push_back(size);
  }
  for (const std::size_t size : cuts) {
    testing::writeFile(dir / "cut.dng", whole.substr(0, size));
    factsOf(dir / "cut.dng");
    if (const auto preview = previewOf(dir / "cut.dng")) {
      EXPECT_LE(preview->jpeg.size(), size);
    }
  }
  // A damaged preview is handed on as it is (the decoder that renders it
  // fails quietly); LibRaw's check of it would have libjpeg complain.
  std::string damaged = whole;
  const std::size_t jpegAt = damaged.find("\xff\xd8\xff");
  ASSERT_NE(jpegAt, std::string::npos);
  damaged.replace(jpegAt + 20, 200, std::string(200, '\0'));
  testing::writeFile(dir / "damaged.dng", damaged);
  const auto preview = previewOf(dir / "damaged.dng");
  ASSERT_TRUE(preview);
  EXPECT_EQ(preview->jpeg.size(), dng.previewJpeg.size());
  // A file that shrinks once it was opened is read as it is now.
  testing::writeFile(dir / "shrinking.dng", whole);
  {
    const base::UniqueFd fd(base::openRegularFile((dir / "shrinking.dng").string()));
    ASSERT_TRUE(fd.valid());
    fs::resize_file(dir / "shrinking.dng", 300);
    readRawFacts(fd.get());
    EXPECT_FALSE(readRawPreview(fd.get()));
  }
  // A preview that claims a gigabyte in a small file is not read at all.
  dng.claimedPreviewBytes = 1u << 30;
  testing::writeDng(dir / "liar.dng", dng);
  EXPECT_TRUE(factsOf(dir / "liar.dng"));
  EXPECT_FALSE(previewOf(dir / "liar.dng"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(RawFile, AFilePastItsDeadlineIsGivenUp) {
  testing::TempDir dir;
  DngFile dng;
  dng.previewJpeg = previewJpeg();
  testing::writeDng(dir / "a.dng", dng);
  base::setFileTimeLimit(std::chrono::milliseconds(0));
  const bool facts = factsOf(dir / "a.dng").has_value();
  const bool preview = previewOf(dir / "a.dng").has_value();
  base::setFileTimeLimit(base::defaultFileTimeLimit);
  EXPECT_FALSE(facts);
  EXPECT_FALSE(preview);
}

}  // namespace
}  // namespace velmora::photos
