// Previews and their metrics as the scan makes them: any bytes, as a still
// image file, as the embedded preview of a RAW file (with an orientation),
// or as a video, give an sRGB bitmap fitted into 600 x 600, or nothing; a
// bitmap is measured and encoded as the scan does it. The first byte
// chooses the road.
#include <cmath>
#include <cstdlib>

#include "bridge/photos/preview/preview_formats.h"
#include "fuzz_file.h"
#include "inventory/metrics.h"
#include "inventory/thumbnail.h"

using namespace velmora;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::prepareProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t road = data[0] % 4;
  ++data;
  --size;
  std::optional<photos::RgbImage> preview;
  switch (road) {
    case 0:
      preview = photos::renderStill(fuzz::asFile(data, size), inventory::previewSide,
                                    inventory::previewSide);
      break;
    case 1:
      preview = photos::renderEncodedStill(data, size, inventory::previewSide,
                                           inventory::previewSide, std::nullopt);
      break;
    case 2:
      if (size < 1) return 0;
      preview = photos::renderEncodedStill(data + 1, size - 1, inventory::previewSide,
                                           inventory::previewSide, data[0] % 10);
      break;
    default:
      preview = photos::renderVideo(fuzz::asFile(data, size), inventory::previewSide,
                                    inventory::previewSide);
      break;
  }
  if (!preview) return 0;
  if (preview->width == 0 || preview->height == 0 || preview->width > inventory::previewSide ||
      preview->height > inventory::previewSide ||
      preview->pixels.size() != std::size_t{preview->width} * preview->height * 3) {
    std::abort();
  }
  const inventory::LumaGrid grid = inventory::lumaGrid(*preview);
  inventory::dhashString(inventory::differenceHash(grid));
  if (!std::isfinite(inventory::lumaVariance(grid)) ||
      !std::isfinite(inventory::lumaSharpness(grid))) {
    std::abort();
  }
  if (!inventory::encodeJpeg(*preview, 80)) std::abort();
  return 0;
}
