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

QrResult detectQR(const LumaImage* image, QrDetectorBackend& primary, QrDetectorBackend& fallback) {
  if (image == nullptr) return {};
  std::optional<bool> found;
  try {
    found = primary.detect(*image);
  } catch (...) {
    found.reset();
  }
  if (found) return {*found, true};
  try {
    if (fallback.detect(*image).value_or(false)) return {true, true};
  } catch (...) {
  }
  return {false, false};
}

QrResult detectQR(const LumaImage* image) {
  if (image == nullptr) return {};
  // Built afresh for every call: nothing carries over from one image to the next.
  const auto primary = primaryDetector();
  const auto fallback = fallbackDetector();
  return detectQR(image, *primary, *fallback);
}

bool hasQR(const LumaImage* image, QrDetectorBackend& primary, QrDetectorBackend& fallback) {
  const QrResult result = detectQR(image, primary, fallback);
  qrAvailable = result.checked;
  return result.found;
}

bool hasQR(const LumaImage* image) {
  const QrResult result = detectQR(image);
  qrAvailable = result.checked;
  return result.found;
}

}  // namespace velmora::qr
