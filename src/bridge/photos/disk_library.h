#pragma once
#include <filesystem>
#include <memory>

#include "bridge/photos/library.h"

namespace velmora::photos {

// The photo library kept as files in the user's pictures folder.
//
// Every file below the folder whose extension is a photo, RAW, video or
// sidecar format belongs to an asset (layout.h says how files group into
// assets); hidden names are skipped and symlinks to folders never followed.
// A symlink to a file counts as that file; a dangling one as a file whose
// bytes are not on this computer. Assets come in the order of their
// identifiers (identifier.h), byte by byte. Enumeration looks only at
// folder entries; attributes() opens the asset's files.
class DiskLibrary final : public PhotoLibrary {
 public:
  // `root` is the pictures folder; no value means there is none.
  explicit DiskLibrary(std::optional<std::filesystem::path> root);

  bool authorize() override;
  std::vector<Asset> fetchAll() override;
  std::vector<std::string> unreadableFolders() const override;
  bool containsFolder(const std::string& folder) const override;
  void finishInterruptedChange() override;
  // Each asset once, at the place of its first request; repeated
  // identifiers do not repeat it (a selection is a set of assets).
  std::vector<Asset> fetchByIdentifiers(const std::vector<std::string>& identifiers) override;
  AssetAttributes attributes(const Asset& asset) override;
  // Every file's type, name, device, inode, size, modification and change
  // time (in nanoseconds). None when a file is missing or no regular file,
  // or changed less than two seconds ago.
  std::optional<std::string> assetState(const Asset& asset) override;
  bool stateNeedsContent(const Asset& asset) override;
  // 1 MiB chunks; false when the file cannot be opened, is not a regular
  // file, or fails before its end.
  bool readResource(const Resource& resource, const ChunkHandler& onChunk) override;
  std::optional<RgbImage> requestImage(const Asset& asset, std::uint32_t targetWidth,
                                       std::uint32_t targetHeight) override;
  // Resolves every asset again by its identifier and moves all its files to
  // the Trash in one change (trash.h), through the folders that resolution
  // opened. Refused, with nothing moved, when an asset no longer resolves or
  // its files are no longer the ones it was fetched with.
  ChangeResult deleteAssets(const std::vector<Asset>& assets) override;

 private:
  std::optional<std::filesystem::path> root_;
  std::vector<std::string> unreadable_;
};

// The library in the current user's pictures folder.
std::unique_ptr<PhotoLibrary> openPhotoLibrary();

}  // namespace velmora::photos
