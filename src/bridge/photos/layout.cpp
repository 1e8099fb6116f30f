#include "bridge/photos/layout.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>

#include "bridge/photos/library.h"

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

std::string_view stemOf(std::string_view name) { return name.substr(0, name.rfind('.')); }

bool isMedia(FileKind kind) {
  return kind == FileKind::still || kind == FileKind::raw || kind == FileKind::video;
}

struct Stem {
  std::vector<std::string> stills, raws, videos, sidecars;  // each in name order
};

}  // namespace

FileKind fileKind(std::string_view name) {
  const Format* format = formatOf(name);
  return format ? format->kind : FileKind::other;
}

std::string uniformTypeIdentifier(std::string_view name) {
  const Format* format = formatOf(name);
  return format ? std::string(format->identifier) : std::string();
}

std::vector<AssetLayout> groupFolder(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  std::map<std::string, Stem, std::less<>> stems;
  std::vector<std::string> nameSidecars;  // `name.ext.xmp`, in name order
  for (const std::string& name : names) {
    const FileKind kind = fileKind(name);
    if (kind == FileKind::other) continue;
    const std::string stem(stemOf(name));
    if (kind == FileKind::sidecar) {
      // "IMG_1.JPG.xmp" beside "IMG_1.JPG" describes that one file.
      if (isMedia(fileKind(stem)) && std::binary_search(names.begin(), names.end(), stem)) {
        nameSidecars.push_back(name);
      } else {
        stems[stem].sidecars.push_back(name);
      }
      continue;
    }
    Stem& group = stems[stem];
    (kind == FileKind::still ? group.stills
     : kind == FileKind::raw ? group.raws
                             : group.videos)
        .push_back(name);
  }

  std::vector<AssetLayout> assets;
  std::map<std::string, std::size_t, std::less<>> assetOfFile;
  const auto addAsset = [&](int mediaType, long type, const std::string& name) -> AssetLayout& {
    assetOfFile[name] = assets.size();
    assets.push_back({mediaType, {{type, name}}});
    return assets.back();
  };
  const auto addResource = [&](std::size_t asset, long type, const std::string& name) {
    assetOfFile[name] = asset;
    assets[asset].resources.push_back({type, name});
  };

  for (auto& [stem, group] : stems) {
    std::optional<std::size_t> primary;
    std::size_t stillsUsed = 0, rawsUsed = 0, videosUsed = 0;
    if (!group.stills.empty()) {
      addAsset(mediaTypeImage, resourceTypePhoto, group.stills[0]);
      primary = assets.size() - 1;
      stillsUsed = 1;
      if (!group.raws.empty()) {
        addResource(*primary, resourceTypeAlternatePhoto, group.raws[0]);
        rawsUsed = 1;
      }
      if (!group.videos.empty()) {
        addResource(*primary, resourceTypePairedVideo, group.videos[0]);
        videosUsed = 1;
      }
    } else if (!group.raws.empty()) {
      addAsset(mediaTypeImage, resourceTypePhoto, group.raws[0]);
      primary = assets.size() - 1;
      rawsUsed = 1;
    } else if (!group.videos.empty()) {
      addAsset(mediaTypeVideo, resourceTypeVideo, group.videos[0]);
      primary = assets.size() - 1;
      videosUsed = 1;
    }
    if (primary) {
      for (const std::string& sidecar : group.sidecars) {
        addResource(*primary, resourceTypeAdjustmentData, sidecar);
      }
    }
    for (std::size_t i = stillsUsed; i < group.stills.size(); ++i) {
      addAsset(mediaTypeImage, resourceTypePhoto, group.stills[i]);
    }
    for (std::size_t i = rawsUsed; i < group.raws.size(); ++i) {
      addAsset(mediaTypeImage, resourceTypePhoto, group.raws[i]);
    }
    for (std::size_t i = videosUsed; i < group.videos.size(); ++i) {
      addAsset(mediaTypeVideo, resourceTypeVideo, group.videos[i]);
    }
  }
  for (const std::string& sidecar : nameSidecars) {
    const auto owner = assetOfFile.find(stemOf(sidecar));
    if (owner != assetOfFile.end()) {
      addResource(owner->second, resourceTypeAdjustmentData, sidecar);
    }
  }

  for (AssetLayout& asset : assets) {
    std::stable_sort(
        asset.resources.begin() + 1, asset.resources.end(),
        [](const ResourceLayout& a, const ResourceLayout& b) {
          const auto rank = [](long type) {
            return type == resourceTypeAlternatePhoto ? 0 : type == resourceTypePairedVideo ? 1 : 2;
          };
          if (rank(a.type) != rank(b.type)) return rank(a.type) < rank(b.type);
          return a.name < b.name;
        });
  }
  std::sort(assets.begin(), assets.end(), [](const AssetLayout& a, const AssetLayout& b) {
    return a.resources.front().name < b.resources.front().name;
  });
  return assets;
}

}  // namespace velmora::photos
