#pragma once
// A stand-in for a camera RAW file: a small DNG whose only picture besides
// its sensor data is a 160 x 106 JPEG (left half white), tagged "turn
// right" (EXIF orientation 6). Rendered through its preview, it shows 106 x 160
// with the white half on top.
#include <filesystem>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

#include "inventory/thumbnail.h"
#include "support/raw_files.h"
#include "support/temp_dir.h"

namespace velmora::testing {

// Left half white, right half black.
inline photos::RgbImage halves(std::uint32_t width, std::uint32_t height) {
  photos::RgbImage image{width, height, {}};
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint8_t level = x < width / 2 ? 255 : 0;
      image.pixels.insert(image.pixels.end(), {level, level, level});
    }
  }
  return image;
}

inline void writeRawSample(const std::filesystem::path& file) {
  // A real DNG (a TIFF): Exiv2 reads a file only as what its name says.
  DngFile dng;
  dng.previewJpeg = *inventory::encodeJpeg(halves(160, 106), 90);
  dng.previewWidth = 160;
  dng.previewHeight = 106;
  dng.orientation = 6;
  writeDng(file, dng);
}

}  // namespace velmora::testing

#pragma GCC diagnostic pop
