#include "bridge/photos/media/file_kind.h"

#include <algorithm>
#include <array>

namespace velmora::photos {

namespace {

struct Format {
  std::string_view extension;
  FileKind kind;
  std::string_view identifier;
};

constexpr std::array formats{
    Format{"jpg", FileKind::still, "public.jpeg"},
    Format{"jpeg", FileKind::still, "public.jpeg"},
    Format{"jpe", FileKind::still, "public.jpeg"},
    // The stereo pictures of 3D cameras: a JPEG with a second one behind it.
    Format{"mpo", FileKind::still, "public.mpo-image"},
    Format{"heic", FileKind::still, "public.heic"},
    Format{"heif", FileKind::still, "public.heif"},
    Format{"avif", FileKind::still, "public.avif"},
    Format{"png", FileKind::still, "public.png"},
    Format{"gif", FileKind::still, "com.compuserve.gif"},
    Format{"webp", FileKind::still, "org.webmproject.webp"},
    Format{"tif", FileKind::still, "public.tiff"},
    Format{"tiff", FileKind::still, "public.tiff"},
    Format{"bmp", FileKind::still, "com.microsoft.bmp"},
    Format{"dng", FileKind::raw, "com.adobe.raw-image"},
    Format{"cr2", FileKind::raw, "com.canon.cr2-raw-image"},
    Format{"cr3", FileKind::raw, "com.canon.cr3-raw-image"},
    Format{"nef", FileKind::raw, "com.nikon.raw-image"},
    Format{"arw", FileKind::raw, "com.sony.arw-raw-image"},
    Format{"orf", FileKind::raw, "com.olympus.raw-image"},
    Format{"rw2", FileKind::raw, "com.panasonic.rw2-raw-image"},
    Format{"raf", FileKind::raw, "com.fuji.raw-image"},
    Format{"pef", FileKind::raw, "com.pentax.raw-image"},
    Format{"mov", FileKind::video, "com.apple.quicktime-movie"},
    Format{"mp4", FileKind::video, "public.mpeg-4"},
    Format{"m4v", FileKind::video, "com.apple.m4v-video"},
    Format{"3gp", FileKind::video, "public.3gpp"},
    Format{"avi", FileKind::video, "public.avi"},
    Format{"mkv", FileKind::video, "org.matroska.mkv"},
    Format{"webm", FileKind::video, "org.webmproject.webm"},
    Format{"mts", FileKind::video, "public.avchd-mpeg-2-transport-stream"},
    Format{"m2ts", FileKind::video, "public.avchd-mpeg-2-transport-stream"},
    Format{"aae", FileKind::sidecar, "com.apple.photos.apple-adjustment-envelope"},
    Format{"xmp", FileKind::sidecar, "com.adobe.xmp"},
};

const Format* formatOf(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return nullptr;
  const std::string_view extension = name.substr(dot + 1);
  for (const Format& format : formats) {
    if (extension.size() != format.extension.size()) continue;
    const bool same = std::equal(
        extension.begin(), extension.end(), format.extension.begin(),
        [](char a, char b) { return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) == b; });
    if (same) return &format;
  }
  return nullptr;
}

}  // namespace

FileKind fileKind(std::string_view name) {
  const Format* format = formatOf(name);
  return format ? format->kind : FileKind::other;
}

std::string uniformTypeIdentifier(std::string_view name) {
  const Format* format = formatOf(name);
  return format ? std::string(format->identifier) : std::string();
}

}  // namespace velmora::photos
