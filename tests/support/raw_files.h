#pragma once
// Camera RAW files that tests write: a small but real DNG, and a CR3 made
// from the shared sample (which its licence keeps out of the project).
#include <cstdint>
#include <filesystem>
#include <string>

namespace velmora::testing {

struct DngFile {
  std::uint32_t sensorWidth = 256;  // 16-bit CFA data, all zero
  std::uint32_t sensorHeight = 192;
  std::string previewJpeg;  // IFD0's picture (JPEG-compressed strip)
  std::uint32_t previewWidth = 160;
  std::uint32_t previewHeight = 120;
  int orientation = 1;                                                   // EXIF value in IFD0
  std::string dateTime;                                                  // IFD0 DateTime
  std::string dateTimeOriginal, offsetTimeOriginal, subSecTimeOriginal;  // EXIF IFD
  std::uint32_t pixelXDimension = 0, pixelYDimension = 0;                // EXIF IFD, when not 0
  // The preview's byte count as the header states it; 0: its real size.
  std::uint32_t claimedPreviewBytes = 0;
  // TIFF magic 43 instead of 42: Exiv2 refuses the file, LibRaw does not
  // look. It stands for the RAW formats only LibRaw reads.
  bool unknownToExiv2 = false;
};

// The file's bytes; `writeDng` puts them into `file`, creating folders.
std::string dngBytes(const DngFile& dng);
void writeDng(const std::filesystem::path& file, const DngFile& dng);

// The shared sample CR3 (metadata only: 6000 x 4000, 2018-02-21
// 12:08:56.21 UTC) with `jpeg` in place of its dummy full-size picture, or
// empty when the sample is not there or not laid out as expected.
std::string cr3WithPicture(const std::string& jpeg);

}  // namespace velmora::testing
