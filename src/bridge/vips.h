#pragma once
#include <cstdint>

namespace velmora::bridge {

// Starts libvips once per process: untrusted loaders blocked, operation
// cache off (memory stays bounded by the image in hand). Safe to call from
// any thread, any number of times. False when libvips could not start.
bool ensureVips();

// Images beyond this are refused as unreadable instead of decoded: far
// larger than any camera's, and a sign of a crafted or broken header.
inline constexpr std::uint64_t maxDecodePixels = 200'000'000;

inline bool withinPixelLimit(std::uint64_t width, std::uint64_t height) {
  return width > 0 && height > 0 && width <= maxDecodePixels && height <= maxDecodePixels &&
         width * height <= maxDecodePixels;
}

}  // namespace velmora::bridge
