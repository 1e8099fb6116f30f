#pragma once
// Renderers behind renderPreview, one per kind of primary file. Each returns
// no value when the file cannot be decoded; none writes anything anywhere.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "bridge/photos/library.h"

namespace velmora::photos {

// Still images through libvips' thumbnailer (JPEG, PNG, HEIC/AVIF, WebP,
// TIFF, GIF): shrink-on-load, EXIF orientation, ICC/CMYK to sRGB.
std::optional<RgbImage> renderStill(const std::string& path, std::uint32_t targetWidth,
                                    std::uint32_t targetHeight);

// An encoded still held in memory (a RAW file's embedded preview). With an
// orientation (EXIF values 1 to 8) that one is applied instead of any the
// bytes carry.
std::optional<RgbImage> renderEncodedStill(const void* data, std::size_t size,
                                           std::uint32_t targetWidth, std::uint32_t targetHeight,
                                           std::optional<int> orientation);

// A camera RAW file through the largest preview Exiv2 finds in it, else
// the one LibRaw finds (formats Exiv2 does not know, such as CR3).
std::optional<RgbImage> renderRaw(const std::string& path, std::uint32_t targetWidth,
                                  std::uint32_t targetHeight);

// A video through its first decodable frame, display rotation applied.
std::optional<RgbImage> renderVideo(const std::string& path, std::uint32_t targetWidth,
                                    std::uint32_t targetHeight);

// The size that fits `width` x `height` into the target with the aspect
// kept, never larger than the source and never below one pixel.
struct FittedSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};
FittedSize fitInto(double width, double height, std::uint32_t targetWidth,
                   std::uint32_t targetHeight);

}  // namespace velmora::photos
