#pragma once
#include <cstdint>
#include <optional>

#include "bridge/photos/library.h"

namespace velmora::photos {

// Renders the asset's preview from its local files: fitted into the target
// (aspect kept, never enlarged), orientation applied, 8-bit sRGB. No value
// when the primary file is not readable locally or cannot be decoded.
std::optional<RgbImage> renderPreview(const Asset& asset, std::uint32_t targetWidth,
                                      std::uint32_t targetHeight);

}  // namespace velmora::photos
