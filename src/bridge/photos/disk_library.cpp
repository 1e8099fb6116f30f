#include "bridge/photos/disk_library.h"

#include "bridge/photos/location.h"

namespace velmora::photos {

DiskLibrary::DiskLibrary(std::optional<std::filesystem::path> root) : root_(std::move(root)) {}

bool DiskLibrary::authorize() { return root_ && folderGrantsFullAccess(*root_); }

// Enumeration, grouping and attributes arrive with the on-disk library.
std::vector<Asset> DiskLibrary::fetchAll() { return {}; }

std::vector<Asset> DiskLibrary::fetchByIdentifiers(const std::vector<std::string>&) { return {}; }

AssetAttributes DiskLibrary::attributes(const Asset&) { return {}; }

bool DiskLibrary::readResource(const Resource&, const ChunkHandler&) { return false; }

std::optional<RgbImage> DiskLibrary::requestImage(const Asset&, std::uint32_t, std::uint32_t) {
  return std::nullopt;
}

ChangeResult DiskLibrary::deleteAssets(const std::vector<Asset>&) { return {}; }

std::unique_ptr<PhotoLibrary> openPhotoLibrary() {
  return std::make_unique<DiskLibrary>(picturesFolder());
}

}  // namespace velmora::photos
