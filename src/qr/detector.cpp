#include "qr/detector.h"

#include "qr/backends.h"

namespace velmora::qr {

bool qrAvailable = true;

LumaImage lumaFromRgb(std::uint32_t width, std::uint32_t height,
                      const std::vector<std::uint8_t>& rgb) {
  LumaImage image;
  if (rgb.size() != std::uint64_t{width} * height * 3) return image;
  image.width = width;
  image.height = height;
  image.pixels.resize(std::size_t{width} * height);
  for (std::size_t i = 0; i < image.pixels.size(); ++i) {
    image.pixels[i] = lumaOf(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]);
  }
  return image;
}

bool hasQR(const LumaImage* image, QrDetectorBackend& primary, QrDetectorBackend& fallback) {
  qrAvailable = true;
  if (image == nullptr) return false;
  std::optional<bool> found;
  try {
    found = primary.detect(*image);
  } catch (...) {
    found.reset();
  }
  if (found) return *found;
  try {
    if (fallback.detect(*image).value_or(false)) return true;
  } catch (...) {
  }
  qrAvailable = false;
  return false;
}

bool hasQR(const LumaImage* image) {
  qrAvailable = true;
  if (image == nullptr) return false;
  // Built afresh for every call: nothing carries over from one image to the next.
  const auto primary = primaryDetector();
  const auto fallback = fallbackDetector();
  return hasQR(image, *primary, *fallback);
}

}  // namespace velmora::qr
