// Metadata as the library reads it for an asset's attributes: EXIF and XMP
// of an image file through Exiv2 (sizes, capture date, rating, screenshot
// marker), the size from the decoder's header where Exiv2 gives none, and
// the rating and date of an XMP sidecar. Any bytes give a value or none.
#include <cmath>
#include <cstdlib>

#include "bridge/photos/media/media_metadata.h"
#include "fuzz_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::fuzz::prepareProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = velmora::fuzz::asFile(data, size);
  if (const auto image = velmora::photos::readImageMetadata(path)) {
    if (image->captureDate && !std::isfinite(*image->captureDate)) std::abort();
    if (image->rating && !std::isfinite(*image->rating)) std::abort();
  }
  if (const auto sidecar = velmora::photos::readSidecar(path)) {
    if (sidecar->rating && !std::isfinite(*sidecar->rating)) std::abort();
    if (sidecar->captureDate && !std::isfinite(*sidecar->captureDate)) std::abort();
  }
  return 0;
}
