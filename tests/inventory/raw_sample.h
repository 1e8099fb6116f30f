#pragma once
// A stand-in for a camera RAW file: a 1200 x 800 JPEG body (left half white)
// whose only embedded preview is 160 x 106 and which is tagged "turn right"
// (EXIF orientation 6). Rendered through its preview, it shows 106 x 160
// with the white half on top.
#include <filesystem>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>

#include "inventory/thumbnail.h"
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
  const auto body = inventory::encodeJpeg(halves(1200, 800), 90);
  const auto preview = inventory::encodeJpeg(halves(160, 106), 90);
  writeFile(file, *body);
  Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(file.string());
  image->readMetadata();
  Exiv2::ExifData exif = image->exifData();
  Exiv2::ExifThumb(exif).setJpegThumbnail(reinterpret_cast<const Exiv2::byte*>(preview->data()),
                                          static_cast<long>(preview->size()));
  exif["Exif.Image.Orientation"] = std::uint16_t{6};
  image->setExifData(exif);
  image->writeMetadata();
}

}  // namespace velmora::testing

#pragma GCC diagnostic pop
