#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include "base/file_identity.h"
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
// not reported: the metrics come all the same. Nothing is ever removed: a
// file already at `path` stays when no preview replaces it (the caller
// knows whether it is one of its own). An empty `path` writes nothing. With
// `jpeg`, that receives the bytes meant for the file (none when encoding
// failed); with `written`, the identity of the file written (none when
// none was).
bridge::Json thumbnail(photos::PhotoLibrary& library, const photos::Asset& asset,
                       const std::filesystem::path& path,
                       std::optional<std::string>* jpeg = nullptr,
                       std::optional<base::FileIdentity>* written = nullptr);

// Puts a preview's bytes at `path` as thumbnail() does, atomically; the
// identity of the file written, none when there are no bytes or they
// cannot be written. An empty `path` writes nothing.
std::optional<base::FileIdentity> placePreview(const std::filesystem::path& path,
                                               const std::optional<std::string>& jpeg);

// The bitmap as baseline JPEG bytes at the given quality; none on failure.
std::optional<std::string> encodeJpeg(const photos::RgbImage& bitmap, int quality);

// Writes `bytes` to a temporary file beside `path`, then renames it over
// `path`: a reader sees the old file or the whole new one. On failure the
// temporary file is removed and `path` is left as it was. With `written`,
// the identity of the new file at `path` (none when another took its place
// at once).
bool writeFileAtomically(const std::filesystem::path& path, const std::string& bytes,
                         std::optional<base::FileIdentity>* written = nullptr);

}  // namespace velmora::inventory
