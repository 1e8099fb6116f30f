#pragma once
// What the headers of one media file say, read without decoding pixels.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/photos/media/capture_date.h"

namespace velmora::photos {

struct ImageMetadata {
  std::uint64_t width = 0;  // as displayed: orientation applied
  std::uint64_t height = 0;
  std::optional<double> captureDate;          // seconds since 1970 UTC
  std::optional<WallClock> captureWallClock;  // the date as written when it has no zone
  std::optional<double> rating;               // xmp:Rating
  bool screenshotMarker = false;              // UserComment "Screenshot"
  // The file holds an XMP packet that could not be read within the bounds
  // of xmp_text.h (or memory ran out on the way): its rating is not known.
  bool ratingUnknown = false;
};

// EXIF and XMP through Exiv2; HEIF/AVIF sizes through libheif's view of the
// file (which applies `irot`, `clap` and grids), other sizes from the
// header with EXIF orientations 5-8 swapping width and height. The capture
// date is EXIF DateTimeOriginal, else DateTimeDigitized, else the XMP
// dates exif:DateTimeOriginal, photoshop:DateCreated, xmp:CreateDate.
// Where Exiv2 leaves the size or the date out, a RAW file (by extension)
// asks LibRaw, any other file the decoder's header (size only). No value
// when the file cannot be opened or none of them knows it, unless its
// rating is unknown. An embedded XMP packet that Exiv2's toolkit does not
// parse as it stands is read again as xmp_text.h prepares it.
std::optional<ImageMetadata> readImageMetadata(const std::string& path);
// The same of the file open on `fd`, whose name is `name` (for its
// extension); no path is opened.
std::optional<ImageMetadata> readImageMetadata(int fd, std::string_view name);

struct SidecarMetadata {
  std::optional<double> rating;               // xmp:Rating
  std::optional<double> captureDate;          // the first XMP date, in the order above
  std::optional<WallClock> captureWallClock;  // that date as written when it has no zone
  // The file is there but could not be read or parsed within the bounds of
  // xmp_text.h: whatever rating it holds is not known.
  bool unreadable = false;
};

// What an XMP sidecar file says, read as xmp_text.h prepares it (a blank
// file says nothing); no value when it cannot be opened as a regular file.
std::optional<SidecarMetadata> readSidecar(const std::string& path);
std::optional<SidecarMetadata> readSidecar(int fd);

struct VideoMetadata {
  std::uint64_t width = 0;  // as displayed: a 90/270 degree rotation swaps
  std::uint64_t height = 0;
  std::optional<double> creationDate;
};

// The container's video stream size and creation time through libavformat,
// without decoding frames. No value when the file does not open as media.
std::optional<VideoMetadata> readVideoMetadata(const std::string& path);
// The same of the file open on `fd` and called `name`; no path is opened.
std::optional<VideoMetadata> readVideoMetadata(int fd, const std::string& name);

}  // namespace velmora::photos
