// Camera RAW files as LibRaw reads them for the library: the size and
// capture time from the headers, and the embedded JPEG preview, which is
// then rendered as the scan renders it. Any bytes give a value or none.
#include <cmath>
#include <cstdlib>

#include "base/regular_file.h"
#include "bridge/photos/preview/preview_formats.h"
#include "bridge/photos/media/raw_file.h"
#include "fuzz_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::fuzz::prepareProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const velmora::base::UniqueFd fd(
      velmora::base::openRegularFile(velmora::fuzz::asFile(data, size)));
  if (!fd.valid()) std::abort();
  if (const auto facts = velmora::photos::readRawFacts(fd.get())) {
    if (facts->captureDate && !std::isfinite(*facts->captureDate)) std::abort();
  }
  if (const auto preview = velmora::photos::readRawPreview(fd.get())) {
    if (preview->jpeg.size() > size || preview->orientation < 1 || preview->orientation > 8) {
      std::abort();
    }
    const auto image = velmora::photos::renderEncodedStill(
        preview->jpeg.data(), preview->jpeg.size(), 600, 600, preview->orientation);
    if (image && (image->width > 600 || image->height > 600)) std::abort();
  }
  return 0;
}
