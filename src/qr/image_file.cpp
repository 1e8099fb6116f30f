#include "qr/image_file.h"

#include <utility>

#include "bridge/photos/isolated.h"

namespace velmora::qr {

std::optional<LumaImage> loadLuma(const std::string& path) {
  // Decoded in a worker process (base/luma_file.h does the work there).
  std::optional<base::LumaPixels> decoded = photos::isolatedLuma(path).value;
  if (!decoded) return std::nullopt;
  return LumaImage{decoded->width, decoded->height, std::move(decoded->pixels)};
}

}  // namespace velmora::qr
