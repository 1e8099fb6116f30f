#include "bridge/photos/layout.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>

#include "bridge/photos/catalogs/companion_names.h"
#include "bridge/photos/library.h"

namespace velmora::photos {

namespace {

std::string_view stemOf(std::string_view name) { return name.substr(0, name.rfind('.')); }

bool isMedia(FileKind kind) {
  return kind == FileKind::still || kind == FileKind::raw || kind == FileKind::video;
}

struct Stem {
  std::vector<std::string> stills, raws, videos, sidecars;  // each in name order
};

}  // namespace

std::vector<AssetLayout> groupFolder(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  std::map<std::string, Stem, std::less<>> stems;
  std::vector<std::string> nameSidecars;  // `name.ext.xmp`, in name order
  std::vector<std::string> media, videos, companions;  // each in name order
  for (const std::string& name : names) {
    const FileKind kind = fileKind(name);
    if (kind == FileKind::other) {
      if (mayBeCompanion(name)) companions.push_back(name);
      continue;
    }
    if (isMedia(kind)) media.push_back(name);
    if (kind == FileKind::video) videos.push_back(name);
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
    assets.push_back({mediaType, {{type, name}}, {}});
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
  // Takeout's JSON and a camera's companions go with the file they describe.
  const CompanionClaims claims = claimCompanions(media, videos, companions);
  for (const auto& [companion, describedFile] : claims.owner) {
    const auto owner = assetOfFile.find(describedFile);
    if (owner != assetOfFile.end()) {
      addResource(owner->second, resourceTypeAdjustmentData, companion);
    }
  }
  for (const auto& [copy, jsons] : claims.readOnly) {
    const auto reader = assetOfFile.find(copy);
    if (reader == assetOfFile.end()) continue;
    for (const std::string& json : jsons) {
      if (assetOfFile.contains(json) && assetOfFile.at(json) == reader->second) continue;
      assets[reader->second].readOnly.push_back(json);
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
