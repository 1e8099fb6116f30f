#include "bridge/photos/preview.h"

namespace velmora::photos {

// Rendering arrives with the scan.
std::optional<RgbImage> renderPreview(const Asset&, std::uint32_t, std::uint32_t) {
  return std::nullopt;
}

}  // namespace velmora::photos
