#pragma once
#include <cstdint>
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

}  // namespace velmora::qr
