#include "qr/detector.h"

#include "qr/backends.h"

namespace velmora::qr {

bool qrAvailable = true;

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
