// Image decoding as the qr actions do it: any bytes give a luminance image
// within the pixel limit, or nothing.
#include <cstdlib>

#include "base/vips.h"
#include "fuzz_file.h"
#include "qr/detector.h"
#include "qr/image_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::fuzz::prepareProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto image = velmora::qr::loadLuma(velmora::fuzz::asFile(data, size));
  if (image) {
    if (!velmora::base::withinPixelLimit(image->width, image->height)) std::abort();
    if (image->pixels.size() != std::size_t{image->width} * image->height) std::abort();
    // The detectors see what the decoder gives; small images keep runs fast.
    if (std::size_t{image->width} * image->height <= 512 * 512) velmora::qr::hasQR(&*image);
  }
  return 0;
}
