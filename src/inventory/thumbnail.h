#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include "bridge/emit.h"
#include "bridge/photos/library.h"

namespace velmora::inventory {

// Side of the square the preview is fitted into.
inline constexpr std::uint32_t previewSide = 600;

// Renders the asset's preview through the library, writes it as JPEG
// (quality 80) to `path` atomically and measures it. Returns the
// PreviewMetrics: "qr", "qr_checked", "dhash_string", "sharpness",
// "variance"; an empty object when the library delivers no usable image (no
// file is written then, and the QR detector is not asked). A failed write is
// not reported: the metrics come all the same. Without a preview, a file
// already at `path` is removed, since it cannot be this asset's preview. An
// empty `path` writes and removes nothing. With `jpeg`, that receives the
// bytes meant for the file (none when encoding failed).
bridge::Json thumbnail(photos::PhotoLibrary& library, const photos::Asset& asset,
                       const std::filesystem::path& path,
                       std::optional<std::string>* jpeg = nullptr);

// Puts a preview's bytes at `path` as thumbnail() does: atomically; when
// there are none or they cannot be written, a file already at `path` goes.
// An empty `path` writes and removes nothing.
void placePreview(const std::filesystem::path& path, const std::optional<std::string>& jpeg);

// The bitmap as baseline JPEG bytes at the given quality; none on failure.
std::optional<std::string> encodeJpeg(const photos::RgbImage& bitmap, int quality);

// Writes `bytes` to a temporary file beside `path`, then renames it over
// `path`: a reader sees the old file or the whole new one. On failure the
// temporary file is removed and `path` is left as it was.
bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes);

}  // namespace velmora::inventory
