#pragma once
// Test images for the QR detector: codes drawn with libqrencode, turned,
// inverted, laid on a photo, and written to files through libvips.
#include <qrencode.h>

#include <string>

#include "qr/detector.h"

namespace velmora::qr::testing {

struct CodeDrawing {
  std::string text = "https://example.org/velmora";
  int version = 0;  // 0: the smallest that fits
  QRecLevel level = QR_ECLEVEL_M;
  unsigned moduleSize = 4;  // pixels per module
  unsigned quietZone = 4;   // modules of white around the code
};

// Dark modules 0, light 255.
LumaImage codeImage(const CodeDrawing& wanted);

// Turned counterclockwise about the centre by `degrees`, on a canvas big
// enough for the whole result, the corners filled white.
LumaImage rotated(const LumaImage& image, double degrees);

LumaImage inverted(LumaImage image);

// A flat image of one grey.
LumaImage filled(std::uint32_t width, std::uint32_t height, std::uint8_t value);

// `image` with `patch` copied over it, top left corner at (left, top).
LumaImage pasted(LumaImage image, const LumaImage& patch, std::uint32_t left, std::uint32_t top);

// Vertical bars of a 1D barcode: EAN-13 style, nothing QR-like.
LumaImage barcodeImage();

// Writes a grey image through libvips; the format follows the extension,
// options in libvips' bracket syntax (e.g. "photo.jpg[Q=40]"). Creates the
// folders on the way.
void save(const LumaImage& image, const std::string& fileWithOptions);

}  // namespace velmora::qr::testing
