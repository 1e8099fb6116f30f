#pragma once
// An image file decoded whole into 8-bit luminance (transparent parts over
// white), through libvips, strip by strip: what the QR actions look at.
#include <cstdint>
#include <optional>
#include <vector>

#include "base/deadline.h"

namespace velmora::base {

struct LumaPixels {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;  // one byte per pixel, rows from the top
};

// Luminance of one 8-bit RGB pixel with the usual video weights, in integers.
constexpr std::uint8_t lumaOf(unsigned red, unsigned green, unsigned blue) {
  return static_cast<std::uint8_t>((306 * red + 601 * green + 117 * blue + 512) >> 10);
}

// The still image in the regular file open on `fd` (which stays the
// caller's), at full size. Nothing for anything that is no decodable still
// image: truncated or corrupt data, an unknown format, a loader blocked as
// untrusted, a size beyond the pixel limit, or decoding past `deadline`.
std::optional<LumaPixels> decodeLumaFile(int fd, const Deadline& deadline);

}  // namespace velmora::base
