#pragma once
#include <filesystem>
#include <memory>

#include "bridge/photos/library.h"

namespace velmora::photos {

// The photo library kept as files in the user's pictures folder.
class DiskLibrary final : public PhotoLibrary {
 public:
  // `root` is the pictures folder; no value means there is none.
  explicit DiskLibrary(std::optional<std::filesystem::path> root);

  bool authorize() override;
  std::vector<Asset> fetchAll() override;
  std::vector<Asset> fetchByIdentifiers(const std::vector<std::string>& identifiers) override;
  AssetAttributes attributes(const Asset& asset) override;
  bool readResource(const Resource& resource, const ChunkHandler& onChunk) override;
  std::optional<RgbImage> requestImage(const Asset& asset, std::uint32_t targetWidth,
                                       std::uint32_t targetHeight) override;
  ChangeResult deleteAssets(const std::vector<Asset>& assets) override;

 private:
  std::optional<std::filesystem::path> root_;
};

// The library in the current user's pictures folder.
std::unique_ptr<PhotoLibrary> openPhotoLibrary();

}  // namespace velmora::photos
