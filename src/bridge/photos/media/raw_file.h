#pragma once
// Camera RAW files through LibRaw, for what Exiv2 cannot read of them (it
// does not know Canon's CR3). Only headers and the embedded preview are
// read, never the sensor data.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bridge/photos/media/capture_date.h"

namespace velmora::photos {

struct RawFacts {
  std::uint64_t width = 0;  // as displayed: the camera's orientation applied
  std::uint64_t height = 0;
  std::optional<double> captureDate;          // seconds since 1970 UTC
  std::optional<WallClock> captureWallClock;  // the date as written when it has no zone
};

// Size and capture time of the RAW file open on `fd` (a checked regular
// file; its own offset is left alone). The size is the camera's picture
// (EXIF PixelXDimension/PixelYDimension) where the file names one, else
// LibRaw's visible sensor area; the date is DateTimeOriginal, else
// DateTimeDigitized, with offset and subseconds, else LibRaw's own reading
// of the file's time. No value when LibRaw does not take it for a RAW file
// or the file's deadline passes while it reads.
std::optional<RawFacts> readRawFacts(int fd);

struct RawPreview {
  std::vector<std::uint8_t> jpeg;
  int orientation = 1;  // EXIF orientation of the RAW file, which holds for the preview
};

// The JPEG preview LibRaw finds in the RAW file open on `fd` (for a CR3, the
// full-size picture the camera stored beside the sensor data), read but not
// decoded. No value when there is none, it is no JPEG, or it claims more
// bytes than the file holds.
std::optional<RawPreview> readRawPreview(int fd);

}  // namespace velmora::photos
