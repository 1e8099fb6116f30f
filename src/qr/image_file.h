#pragma once
#include <optional>
#include <string>

#include "qr/detector.h"

namespace velmora::qr {

// Decodes an image file at full size into 8-bit luminance (transparent parts
// over white). Nothing for anything that is not a decodable still image: a
// missing file, a folder, a device, truncated or corrupt data, an unknown
// format, a loader that is blocked as untrusted, or a declared size beyond
// any camera's. Never writes to standard error.
std::optional<LumaImage> loadLuma(const std::string& path);

}  // namespace velmora::qr
