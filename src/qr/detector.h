#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "base/luma_file.h"

namespace velmora::qr {

// 8-bit luminance, one byte per pixel, rows from the top.
struct LumaImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;
};

using base::lumaOf;

// An 8-bit RGB image (three bytes per pixel, rows from the top) as
// luminance. Pixels that do not match the size give an image the detectors
// refuse.
LumaImage lumaFromRgb(std::uint32_t width, std::uint32_t height,
                      const std::vector<std::uint8_t>& rgb);

// What one detection gave: whether a QR code was found, and whether the
// answer was confirmed (false only when the primary detector failed to run
// and the fallback found nothing).
struct QrResult {
  bool found = false;
  bool checked = true;
};

// False only after a detection in which the primary detector failed to run
// and the fallback found nothing: a negative that nothing confirmed.
extern bool qrAvailable;

// Whether the image shows at least one QR code. A null image answers false.
// Resets `qrAvailable` to true first; read it right after the call.
bool hasQR(const LumaImage* image);

// hasQR without the shared flag: the result belongs to this call alone, so
// several threads may look at once.
QrResult detectQR(const LumaImage* image);

// One way of looking for QR codes. `detect` answers whether at least one QR
// code was found, or nothing when it could not look at all (an exception, an
// image it refuses). Only QR codes count, never other symbologies.
class QrDetectorBackend {
 public:
  virtual ~QrDetectorBackend() = default;
  virtual std::optional<bool> detect(const LumaImage& image) = 0;
};

// hasQR with the detectors given: `fallback` runs only when `primary` could
// not run. Same rules for `qrAvailable`.
bool hasQR(const LumaImage* image, QrDetectorBackend& primary, QrDetectorBackend& fallback);
QrResult detectQR(const LumaImage* image, QrDetectorBackend& primary, QrDetectorBackend& fallback);

// The pixels agree with the size, and the size is neither empty nor beyond
// the pixel limit for decoding. The real detectors refuse anything else.
bool isUsable(const LumaImage& image);

}  // namespace velmora::qr
