#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "bridge/photos/library.h"

namespace velmora::photos {

// Renders the asset's preview from its local files: fitted into the target
// (aspect kept, never enlarged), orientation applied, 8-bit sRGB. No value
// when the primary file is not readable locally or cannot be decoded.
// The file is read in a worker process (isolated.h).
std::optional<RgbImage> renderPreview(const Asset& asset, std::uint32_t targetWidth,
                                      std::uint32_t targetHeight);

// Which renderer draws a primary file, by its type.
enum class PreviewRoad : std::uint8_t { still, heic, raw, video };
PreviewRoad previewRoad(const Resource& primary);

// The preview of the file open on `fd` (called `name`) by `road`, in this
// process; no path is opened.
std::optional<RgbImage> renderPreviewOf(int fd, const std::string& name, PreviewRoad road,
                                        std::uint32_t targetWidth, std::uint32_t targetHeight);

}  // namespace velmora::photos
