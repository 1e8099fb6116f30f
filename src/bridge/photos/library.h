#pragma once
// The photo library as the actions see it. The real one lives on disk (the
// user's pictures folder, disk_library.h); tests may substitute their own.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bridge/photos/media/capture_date.h"
#include "bridge/photos/trash/change_result.h"
#include "bridge/photos/preview/rgb_image.h"

namespace velmora::photos {

// Media types of an asset.
inline constexpr int mediaTypeUnknown = 0;
inline constexpr int mediaTypeImage = 1;
inline constexpr int mediaTypeVideo = 2;

// Bit of `mediaSubtypes` that marks a screenshot.
inline constexpr unsigned mediaSubtypeScreenshot = 1u << 2;

// Resource type codes, as the parent application knows them.
inline constexpr long resourceTypePhoto = 1;
inline constexpr long resourceTypeVideo = 2;
inline constexpr long resourceTypeAlternatePhoto = 4;
inline constexpr long resourceTypeAdjustmentData = 7;
inline constexpr long resourceTypePairedVideo = 9;

struct Resource {
  long type = 0;
  std::string uniformTypeIdentifier;
  std::optional<std::string> originalFilename;
  // Where the library keeps the bytes (an absolute path for the disk
  // library). Only the library interprets it.
  std::string location;
};

struct Asset {
  std::string localIdentifier;
  int mediaType = mediaTypeUnknown;
  // In the library's own order; the primary file comes first.
  std::vector<Resource> resources;
};

// Attributes that cost a look into the files; read on demand, per asset.
struct AssetAttributes {
  unsigned mediaSubtypes = 0;
  std::uint64_t pixelWidth = 0;  // as displayed: orientation applied
  std::uint64_t pixelHeight = 0;
  bool isFavorite = false;
  std::optional<double> creationDate;  // seconds since 1970-01-01 UTC
  // The date as the file writes it when it gives no zone: creationDate is
  // that wall-clock time in this computer's zone when it was read.
  std::optional<WallClock> creationWallClock = std::nullopt;
  // A place that may hold the rating (the photo, an XMP or JSON sidecar,
  // another program's database) could not be read: whether the asset is a
  // favourite is not known.
  bool favoriteUnknown = false;
};

using ChunkHandler = std::function<void(std::span<const std::byte> chunk)>;

// Asked by deleteAssets once the change holds its lock and the assets were
// resolved again, right before anything moves: the text of a refusal, or no
// value to go on.
using ChangeCheck = std::function<std::optional<std::string>()>;

class PhotoLibrary {
 public:
  virtual ~PhotoLibrary() = default;

  // Read-write access to the library: true only when fully granted.
  virtual bool authorize() = 0;

  // Every asset, in the library's stable order.
  virtual std::vector<Asset> fetchAll() = 0;

  // The folders the last fetchAll() could not look into (and so whose
  // assets it could not list), as paths relative to the library.
  virtual std::vector<std::string> unreadableFolders() const { return {}; }

  // Whether `folder` (a path the kernel resolves) is a folder of the
  // library, lies inside one or holds the library, judged by device and
  // inode whatever mounts lie between (a bind mount of a sub-folder
  // included); files written there would mix with the user's own.
  virtual bool containsFolder(const std::string& folder) const {
    (void)folder;
    return false;
  }

  // Puts back what a change interrupted by a kill left half done. Called
  // once at the start of a run that uses the library, before anything else.
  virtual void finishInterruptedChange() {}

  // The assets that exist now for these identifiers, in request order.
  // Identifiers that name nothing (or anything outside the library) are
  // simply not found.
  virtual std::vector<Asset> fetchByIdentifiers(const std::vector<std::string>& identifiers) = 0;

  virtual AssetAttributes attributes(const Asset& asset) = 0;

  // What the asset's files are now, as an opaque text: it differs whenever
  // anything the library would read for the asset may differ (a file's
  // contents, attributes or identity, a file added to or taken from the
  // asset). Equal texts promise the same attributes, bytes and preview. No
  // value when the library cannot promise that: a file that is missing or
  // unreadable, or one changed so recently that a change right now might
  // leave the text as it is. The default promises nothing.
  virtual std::optional<std::string> assetState(const Asset& asset);

  // Whether the asset's files lie where their state cannot vouch for their
  // contents (a file system whose times or identities cannot be trusted):
  // equal states then promise the same only together with equal contents,
  // which the caller compares through the fingerprint. The default: no.
  virtual bool stateNeedsContent(const Asset& asset);

  // Streams the resource's bytes to `onChunk` in order, in bounded chunks.
  // Returns false when the bytes are not all available locally (cannot be
  // opened, or not read to their end); chunks may have been delivered.
  virtual bool readResource(const Resource& resource, const ChunkHandler& onChunk) = 0;

  // A preview fitted into target size (aspect kept, never enlarged,
  // orientation applied, sRGB). No value when nothing local can be rendered.
  virtual std::optional<RgbImage> requestImage(const Asset& asset, std::uint32_t targetWidth,
                                               std::uint32_t targetHeight) = 0;

  // Deletes the assets, with every resource, in one change: all or nothing.
  // A refusal of `recheck` moves nothing and is the change's description.
  virtual ChangeResult deleteAssets(const std::vector<Asset>& assets,
                                    const ChangeCheck& recheck = {}) = 0;
};

inline std::optional<std::string> PhotoLibrary::assetState(const Asset&) { return std::nullopt; }
inline bool PhotoLibrary::stateNeedsContent(const Asset&) { return false; }

}  // namespace velmora::photos
