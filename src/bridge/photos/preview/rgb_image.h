#pragma once
#include <cstdint>
#include <vector>

namespace velmora::photos {

// 8-bit sRGB pixels, three bytes per pixel, rows from the top.
struct RgbImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;
};

}  // namespace velmora::photos
