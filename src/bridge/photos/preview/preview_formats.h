#pragma once
// Renderers behind renderPreview, one per kind of primary file. Each returns
// no value when the file cannot be decoded; none writes anything anywhere.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/deadline.h"
#include "bridge/photos/preview/rgb_image.h"

namespace velmora::photos {

// Still images through libvips' thumbnailer (JPEG, PNG, HEIC/AVIF, WebP,
// TIFF, GIF): shrink-on-load, EXIF orientation, ICC/CMYK to sRGB. The
// decoding must be done by `deadline` (by default, the file's time limit
// from now).
std::optional<RgbImage> renderStill(const std::string& path, std::uint32_t targetWidth,
                                    std::uint32_t targetHeight,
                                    const base::Deadline& deadline = base::Deadline());
std::optional<RgbImage> renderStill(int fd, std::uint32_t targetWidth, std::uint32_t targetHeight,
                                    const base::Deadline& deadline);

// A HEIC whose primary picture is an 8-bit 4:2:0 HEVC still without alpha
// (one picture or a grid of tiles), shrunk while still YCbCr: the same
// preview as renderStill gives, in a fraction of the time. No value when the
// file is anything else or cannot be decoded; renderStill then decides,
// by the same deadline.
std::optional<RgbImage> renderHeic(const std::string& path, std::uint32_t targetWidth,
                                   std::uint32_t targetHeight,
                                   const base::Deadline& deadline = base::Deadline());
std::optional<RgbImage> renderHeic(int fd, std::uint32_t targetWidth, std::uint32_t targetHeight,
                                   const base::Deadline& deadline);

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
std::optional<RgbImage> renderRaw(int fd, std::string_view name, std::uint32_t targetWidth,
                                  std::uint32_t targetHeight);

// A video through its first decodable frame, display rotation applied.
std::optional<RgbImage> renderVideo(const std::string& path, std::uint32_t targetWidth,
                                    std::uint32_t targetHeight);

// Each renderer also reads a file already open on `fd` (which stays the
// caller's), opening no path; `name` serves only for telling formats apart.
std::optional<RgbImage> renderVideo(int fd, const std::string& name, std::uint32_t targetWidth,
                                    std::uint32_t targetHeight);

// The size that fits `width` x `height` into the target with the aspect
// kept, never larger than the source and never below one pixel.
struct FittedSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};
FittedSize fitInto(double width, double height, std::uint32_t targetWidth,
                   std::uint32_t targetHeight);

// The size libvips' thumbnailer makes of a picture of `width` x `height`
// (shown size) for the target box, never enlarged. No value when libvips
// cannot say.
std::optional<FittedSize> thumbnailerSize(std::uint32_t width, std::uint32_t height,
                                          std::uint32_t targetWidth, std::uint32_t targetHeight);

}  // namespace velmora::photos
