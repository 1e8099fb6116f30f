#pragma once
#include <cstdint>
#include <optional>
#include <vector>

namespace velmora::qr {

// 8-bit luminance, one byte per pixel, rows from the top.
struct LumaImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;
};

// False only after a detection in which the primary detector failed to run
// and the fallback found nothing: a negative that nothing confirmed.
extern bool qrAvailable;

// Whether the image shows at least one QR code. A null image answers false.
// Resets `qrAvailable` to true first; read it right after the call.
bool hasQR(const LumaImage* image);

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

// The pixels agree with the size and the size is one the detectors take.
bool isUsable(const LumaImage& image);

}  // namespace velmora::qr
