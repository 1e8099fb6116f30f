#pragma once
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/file_identity.h"
#include "bridge/photos/catalogs/program_databases.h"
#include "bridge/photos/library.h"

namespace velmora::photos {

// The photo library kept as files in the user's pictures folder.
//
// Every file below the folder whose extension is a photo, RAW, video or
// sidecar format belongs to an asset, and so do the companions that
// catalogs/companion_names.h assigns (layout.h says how files group into
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
  // identifiers do not repeat it (a selection is a set of assets). Notes
  // each file's identity the first time it is found.
  std::vector<Asset> fetchByIdentifiers(const std::vector<std::string>& identifiers) override;
  // Favourites also from digiKam's and Shotwell's databases and Takeout's
  // JSON sidecars; a database that exists but cannot be read leaves every
  // asset's favourite unknown.
  AssetAttributes attributes(const Asset& asset) override;
  // Every file's type, name, device, inode, size, modification and change
  // time (in nanoseconds), the same of the files read besides them, and
  // what other programs' databases say of the asset. None when a file is
  // missing or no regular file, or changed less than two seconds ago.
  std::optional<std::string> assetState(const Asset& asset) override;
  bool stateNeedsContent(const Asset& asset) override;
  // 1 MiB chunks; false when the file cannot be opened, is not a regular
  // file, or fails before its end.
  bool readResource(const Resource& resource, const ChunkHandler& onChunk) override;
  std::optional<RgbImage> requestImage(const Asset& asset, std::uint32_t targetWidth,
                                       std::uint32_t targetHeight) override;
  // Under the change lock, resolves every asset again by its identifier,
  // asks `recheck`, and moves all its files to the Trash in one change
  // (trash.h), through the folders that resolution opened. Refused, with
  // nothing moved, when an asset no longer resolves, its files are no
  // longer the ones it was fetched with (names, and device and inode as
  // fetchByIdentifiers first found them), or any file changed between this
  // resolution and the first move.
  ChangeResult deleteAssets(const std::vector<Asset>& assets,
                            const ChangeCheck& recheck = {}) override;

 private:
  // Other programs' favourites, read on first use and kept for the run
  // (a delete reads them again for its re-check under the lock).
  std::shared_ptr<const FavouriteIndex> programFavourites();
  // What other programs say about the asset: favourites from their
  // databases and Takeout's JSON sidecars, and Takeout's date.
  void addCatalogFacts(const Asset& asset, AssetAttributes& attributes,
                       std::optional<double>& takeoutDate);
  std::string relativePath(const std::string& location) const;
  // The files read for the asset besides its resources (an edited copy's
  // original's Takeout JSON), as the last fetch found them.
  std::vector<std::string> alsoReadFor(const Asset& asset) const;

  std::optional<std::filesystem::path> root_;
  std::mutex programFavouritesMutex_;
  std::shared_ptr<const FavouriteIndex> programFavourites_;
  mutable std::mutex alsoReadMutex_;
  std::map<std::string, std::vector<std::string>> alsoRead_;
  std::vector<std::string> unreadable_;
  // Each file fetchByIdentifiers() found, by location, as it was the first
  // time: deleteAssets() moves only these very files.
  std::map<std::string, base::FileIdentity> fetched_;
};

// The library in the current user's pictures folder.
std::unique_ptr<PhotoLibrary> openPhotoLibrary();

}  // namespace velmora::photos
