#pragma once
// What the headers of one media file say, read without decoding pixels.
#include <cstdint>
#include <optional>
#include <string>

namespace velmora::photos {

struct ImageMetadata {
  std::uint64_t width = 0;  // as displayed: orientation applied
  std::uint64_t height = 0;
  std::optional<double> captureDate;  // seconds since 1970 UTC
  std::optional<double> rating;       // xmp:Rating
  bool screenshotMarker = false;      // UserComment "Screenshot"
};

// EXIF and XMP through Exiv2; HEIF/AVIF sizes through libheif's view of the
// file (which applies `irot`, `clap` and grids), other sizes from the
// header with EXIF orientations 5-8 swapping width and height. No value
// when the file cannot be opened or is not an image Exiv2 knows.
std::optional<ImageMetadata> readImageMetadata(const std::string& path);

// xmp:Rating of an XMP sidecar file; no value when it has none.
std::optional<double> readSidecarRating(const std::string& path);

struct VideoMetadata {
  std::uint64_t width = 0;  // as displayed: a 90/270 degree rotation swaps
  std::uint64_t height = 0;
  std::optional<double> creationDate;
};

// The container's video stream size and creation time through libavformat,
// without decoding frames. No value when the file does not open as media.
std::optional<VideoMetadata> readVideoMetadata(const std::string& path);

}  // namespace velmora::photos
