// ZBar lives in its own file: its C++ headers clash with ZXing's macros.
#include <zbar.h>

#include "qr/backends.h"

namespace velmora::qr {

std::optional<bool> ZbarDetector::detect(const LumaImage& image) {
  if (!isUsable(image)) return std::nullopt;
  zbar::zbar_image_scanner_t* scanner = zbar::zbar_image_scanner_create();
  zbar::zbar_image_t* frame = zbar::zbar_image_create();
  if (scanner == nullptr || frame == nullptr) {
    if (frame != nullptr) zbar::zbar_image_destroy(frame);
    if (scanner != nullptr) zbar::zbar_image_scanner_destroy(scanner);
    return std::nullopt;
  }
  zbar::zbar_image_scanner_set_config(scanner, zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
  zbar::zbar_image_scanner_set_config(scanner, zbar::ZBAR_QRCODE, zbar::ZBAR_CFG_ENABLE, 1);
  if (testInverted_)
    zbar::zbar_image_scanner_set_config(scanner, zbar::ZBAR_NONE, zbar::ZBAR_CFG_TEST_INVERTED, 1);
  // 'Y800': one byte of luminance per pixel.
  constexpr unsigned long y800 = 0x30303859UL;
  zbar::zbar_image_set_format(frame, y800);
  zbar::zbar_image_set_size(frame, image.width, image.height);
  zbar::zbar_image_set_data(frame, image.pixels.data(), image.pixels.size(), nullptr);
  const int scanned = zbar::zbar_scan_image(scanner, frame);
  bool found = false;
  for (const zbar::zbar_symbol_t* symbol = zbar::zbar_image_first_symbol(frame); symbol != nullptr;
       symbol = zbar::zbar_symbol_next(symbol)) {
    if (zbar::zbar_symbol_get_type(symbol) == zbar::ZBAR_QRCODE) found = true;
  }
  zbar::zbar_image_destroy(frame);
  zbar::zbar_image_scanner_destroy(scanner);
  if (scanned < 0) return std::nullopt;
  return found;
}

}  // namespace velmora::qr
