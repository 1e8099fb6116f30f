#include "bridge/photos/preview.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "bridge/photos/preview/preview_formats.h"
#include "base/deadline.h"
#include "bridge/photos/isolated.h"

namespace velmora::photos {

namespace {

constexpr std::array<std::string_view, 8> videoTypes = {"com.apple.quicktime-movie",
                                                        "public.mpeg-4",
                                                        "com.apple.m4v-video",
                                                        "public.3gpp",
                                                        "public.avi",
                                                        "org.matroska.mkv",
                                                        "org.webmproject.webm",
                                                        "public.avchd-mpeg-2-transport-stream"};

constexpr std::array<std::string_view, 9> rawTypes = {
    "com.adobe.raw-image",         "com.canon.cr2-raw-image", "com.canon.cr3-raw-image",
    "com.nikon.raw-image",         "com.sony.arw-raw-image",  "com.olympus.raw-image",
    "com.panasonic.rw2-raw-image", "com.fuji.raw-image",      "com.pentax.raw-image"};

bool listed(std::string_view type, auto const& list) {
  return std::find(list.begin(), list.end(), type) != list.end();
}

}  // namespace

PreviewRoad previewRoad(const Resource& primary) {
  const std::string_view type = primary.uniformTypeIdentifier;
  if (listed(type, videoTypes) || primary.type == resourceTypeVideo ||
      primary.type == resourceTypePairedVideo) {
    return PreviewRoad::video;
  }
  if (listed(type, rawTypes)) return PreviewRoad::raw;
  if (type == "public.heic" || type == "public.heif") return PreviewRoad::heic;
  return PreviewRoad::still;
}

std::optional<RgbImage> renderPreviewOf(int fd, const std::string& name, PreviewRoad road,
                                        std::uint32_t targetWidth, std::uint32_t targetHeight) {
  switch (road) {
    case PreviewRoad::video:
      return renderVideo(fd, name, targetWidth, targetHeight);
    case PreviewRoad::raw:
      return renderRaw(fd, name, targetWidth, targetHeight);
    case PreviewRoad::heic:
    case PreviewRoad::still:
      break;
  }
  // One deadline for the file, whichever road it takes: a HEIC that used
  // its time on the fast road gets none more on the other.
  const base::Deadline deadline;
  if (road == PreviewRoad::heic) {
    if (auto fast = renderHeic(fd, targetWidth, targetHeight, deadline)) return fast;
    // libheif decodes a whole picture in one call that nothing stops.
    if (deadline.passed()) return std::nullopt;
  }
  return renderStill(fd, targetWidth, targetHeight, deadline);
}

std::optional<RgbImage> renderPreview(const Asset& asset, std::uint32_t targetWidth,
                                      std::uint32_t targetHeight) {
  if (asset.resources.empty() || targetWidth == 0 || targetHeight == 0) return std::nullopt;
  // The primary file decides: a live photo shows its still, a RAW with a
  // JPEG partner shows the JPEG, a RAW alone its embedded preview.
  const Resource& primary = asset.resources.front();
  return isolatedPreview(primary.location, previewRoad(primary), targetWidth, targetHeight).value;
}

}  // namespace velmora::photos
