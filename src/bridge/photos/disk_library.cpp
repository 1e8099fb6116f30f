#include "bridge/photos/disk_library.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <string_view>

#include "bridge/photos/catalogs/companion_names.h"
#include "bridge/photos/catalogs/takeout_json.h"
#include "bridge/photos/chunked_read.h"
#include "bridge/photos/identifier.h"
#include "bridge/photos/isolated.h"
#include "bridge/photos/layout.h"
#include "bridge/photos/location.h"
#include "bridge/photos/media/media_metadata.h"
#include "bridge/photos/preview.h"
#include "bridge/photos/screenshot.h"
#include "bridge/photos/trash/trash.h"
#include "base/file_identity.h"
#include "bridge/photos/trusted_times.h"
#include "base/regular_file.h"

namespace velmora::photos {

namespace {

using FileDescriptor = base::UniqueFd;

// A sub-folder of an open folder, never through a symlink.
int openFolderAt(int parent, const char* name) {
  return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

struct FolderListing {
  std::vector<std::string> files;    // names with a library format only
  std::vector<std::string> folders;  // real folders, not symlinks
};

FolderListing listFolder(int folder) {
  FolderListing listing;
  const int own = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return listing;
  DIR* dir = ::fdopendir(own);
  if (dir == nullptr) {
    ::close(own);
    return listing;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const char* name = entry->d_name;
    if (name[0] == '.') continue;  // hidden, and "." / ".."
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat status {};
      if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(status.st_mode)   ? DT_DIR
             : S_ISREG(status.st_mode) ? DT_REG
             : S_ISLNK(status.st_mode) ? DT_LNK
                                       : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
      listing.folders.emplace_back(name);
      continue;
    }
    if (type != DT_REG && type != DT_LNK) continue;  // fifos, sockets, devices
    if (fileKind(name) == FileKind::other && !mayBeCompanion(name)) continue;
    if (type == DT_LNK) {
      struct stat target {};
      if (::fstatat(folder, name, &target, 0) == 0) {
        // A link to a folder is never followed; one to anything but a
        // regular file is no photo.
        if (!S_ISREG(target.st_mode)) continue;
      }
      // Dangling (or looping) links stay: their bytes live elsewhere.
    }
    listing.files.emplace_back(name);
  }
  ::closedir(dir);
  return listing;
}

// Per asset identifier: the files read for its attributes that are no part
// of it (layout.h: AssetLayout::readOnly), as locations.
using AlsoRead = std::map<std::string, std::vector<std::string>>;

struct Located {
  std::string relativePath;  // of the primary file
  Asset asset;
};

Asset makeAsset(const std::string& rootText, const std::string& folder, const AssetLayout& layout,
                AlsoRead& alsoRead) {
  Asset asset;
  asset.localIdentifier = identifierForPath(folder + layout.resources.front().name);
  asset.mediaType = layout.mediaType;
  asset.resources.reserve(layout.resources.size());
  for (const ResourceLayout& file : layout.resources) {
    Resource resource;
    resource.type = file.type;
    resource.uniformTypeIdentifier = uniformTypeIdentifier(file.name);
    if (resource.uniformTypeIdentifier.empty()) {
      resource.uniformTypeIdentifier = companionTypeIdentifier(file.name);
    }
    resource.originalFilename = file.name;
    resource.location = rootText + "/" + folder + file.name;
    asset.resources.push_back(std::move(resource));
  }
  for (const std::string& name : layout.readOnly) {
    alsoRead[asset.localIdentifier].push_back(rootText + "/" + folder + name);
  }
  return asset;
}

void collect(int folder, const std::string& relativeFolder, const std::string& rootText,
             std::vector<Located>& out, std::vector<std::string>& unreadable, AlsoRead& alsoRead) {
  FolderListing listing = listFolder(folder);
  for (const AssetLayout& layout : groupFolder(std::move(listing.files))) {
    out.push_back({relativeFolder + layout.resources.front().name,
                   makeAsset(rootText, relativeFolder, layout, alsoRead)});
  }
  for (const std::string& name : listing.folders) {
    const FileDescriptor child(openFolderAt(folder, name.c_str()));
    if (child.valid()) {
      collect(child.get(), relativeFolder + name + "/", rootText, out, unreadable, alsoRead);
    } else if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR) {
      // Gone or replaced by a link since the listing is no loss; a folder
      // that cannot be opened hides whatever it holds.
      unreadable.push_back(identifierForPath(relativeFolder + name));
    }
  }
}

// Walks `folder` ("a/b/") down from the open `root` one real folder at a
// time: a symlinked folder on the way leads outside the library (or in a
// circle) and names nothing. -1 then.
int openLibraryFolder(int root, const std::string& folder) {
  int current = ::fcntl(root, F_DUPFD_CLOEXEC, 0);
  for (std::size_t start = 0; current >= 0 && start < folder.size();) {
    const std::size_t end = folder.find('/', start);
    const std::string segment = folder.substr(start, end - start);
    const int next = openFolderAt(current, segment.c_str());
    ::close(current);
    current = next;
    start = end + 1;
  }
  return current;
}

// The assets of one folder by primary file name, with the folder open.
struct ResolvedFolder {
  std::unique_ptr<FileDescriptor> fd;
  std::map<std::string, Asset> assets;
  AlsoRead alsoRead;
};

ResolvedFolder resolveFolder(int root, const std::string& base, const std::string& folder) {
  ResolvedFolder resolved;
  resolved.fd = std::make_unique<FileDescriptor>(openLibraryFolder(root, folder));
  if (resolved.fd->valid()) {
    for (const AssetLayout& layout : groupFolder(listFolder(resolved.fd->get()).files)) {
      resolved.assets.emplace(layout.resources.front().name,
                              makeAsset(base, folder, layout, resolved.alsoRead));
    }
  }
  return resolved;
}

// Splits a relative path into its folder ("a/b/" or "") and name.
std::pair<std::string, std::string> folderAndName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {"", path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

std::string rootText(const std::filesystem::path& root) {
  std::string text = root.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  return text;
}

bool sameFiles(const Asset& a, const Asset& b) {
  return std::equal(a.resources.begin(), a.resources.end(), b.resources.begin(), b.resources.end(),
                    [](const Resource& x, const Resource& y) {
                      return x.type == y.type && x.location == y.location;
                    });
}

bool isRegularFile(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Whether the file can be opened for reading now: a rating in a file that
// cannot be read is a rating nobody checked.
bool canRead(const std::string& path) {
  return FileDescriptor(base::openRegularFile(path)).valid();
}

// A link whose target is not on this computer (how git-annex shows content
// kept elsewhere): there is no file to hold a rating, as for an asset whose
// originals are in the cloud.
bool isDanglingLink(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return false;
  return ::stat(path.c_str(), &status) != 0 && (errno == ENOENT || errno == ELOOP);
}

bool hasExtension(std::string_view name, std::string_view lowerExtension) {
  if (name.size() <= lowerExtension.size() + 1) return false;
  const std::string_view tail = name.substr(name.size() - lowerExtension.size());
  if (name[name.size() - lowerExtension.size() - 1] != '.') return false;
  return std::equal(tail.begin(), tail.end(), lowerExtension.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) == b;
  });
}

// The desktop's own rating (Baloo, used by Dolphin and Gwenview): 0-10,
// in half stars; 10 is five stars. No value when it cannot be read (no
// permission, an I/O error); false when the file has none.
std::optional<bool> ratedFiveStarsByDesktop(const std::string& path) {
  char value[16] = {};
  const ssize_t length = ::getxattr(path.c_str(), "user.baloo.rating", value, sizeof value - 1);
  if (length < 0) {
    if (errno == ENODATA || errno == ENOTSUP || errno == ERANGE) return false;
    return std::nullopt;
  }
  if (length == 0) return false;
  std::string_view text(value, static_cast<std::size_t>(length));
  while (!text.empty() && (text.back() == '\0' || text.back() == ' ' || text.back() == '\n')) {
    text.remove_suffix(1);
  }
  return text == "10";
}

bool fiveStars(const std::optional<double>& rating) { return rating && *rating >= 5; }

std::optional<double> modificationTime(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 && ::lstat(path.c_str(), &status) != 0) {
    return std::nullopt;
  }
  return static_cast<double>(status.st_mtim.tv_sec) +
         static_cast<double>(status.st_mtim.tv_nsec) / 1e9;
}

// File systems keep times in steps: a tick of the kernel's coarse clock on
// most, two seconds on FAT. A file changed within the same step as an
// earlier change keeps its times, so a file whose change time lies closer
// to now than this could still change without showing it.
constexpr std::int64_t settledNanoseconds = 2'000'000'000;

std::int64_t nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

using FolderIdentity = std::pair<dev_t, ino_t>;
using FolderIdentities = std::set<FolderIdentity>;

// Every folder of the library below (and with) the open `folder`, as the
// listing reaches them: real folders, not through symlinks. Unreadable ones
// count too.
void collectFolderIdentities(int folder, FolderIdentities& out, int depth) {
  struct stat status {};
  if (depth > 4096 || ::fstat(folder, &status) != 0 ||
      !out.emplace(status.st_dev, status.st_ino).second) {
    return;
  }
  for (const std::string& name : listFolder(folder).folders) {
    const FileDescriptor child(openFolderAt(folder, name.c_str()));
    if (child.valid()) {
      collectFolderIdentities(child.get(), out, depth + 1);
    } else if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
               S_ISDIR(status.st_mode)) {
      out.emplace(status.st_dev, status.st_ino);
    }
  }
}

// The open folder and each folder above it, by "..", as the kernel resolves
// it (across mounts), up to the top.
template <typename Visit>
void forEachFolderUp(int folder, Visit visit) {
  int current = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  for (int depth = 0; current >= 0 && depth < 4096; ++depth) {
    struct stat here {};
    if (::fstat(current, &here) != 0) break;
    visit(FolderIdentity{here.st_dev, here.st_ino});
    const int parent = ::openat(current, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat above {};
    const bool top = parent < 0 || ::fstat(parent, &above) != 0 ||
                     (above.st_dev == here.st_dev && above.st_ino == here.st_ino);
    ::close(current);
    current = parent;
    if (top) break;
  }
  if (current >= 0) ::close(current);
}

}  // namespace

DiskLibrary::DiskLibrary(std::optional<std::filesystem::path> root) : root_(std::move(root)) {}

bool DiskLibrary::authorize() { return root_ && folderGrantsFullAccess(*root_); }

std::vector<std::string> DiskLibrary::unreadableFolders() const { return unreadable_; }

bool DiskLibrary::containsFolder(const std::string& folder) const {
  if (!root_) return false;
  const FileDescriptor root(::open(root_->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const FileDescriptor given(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid() || !given.valid()) return false;
  // By identity, not by path: a bind mount of a sub-folder shows the same
  // inode under another path, and walking up from it never meets the
  // library. So the folder and everything above it is compared with every
  // folder of the library, and the library's root and everything above it
  // with the folder.
  FolderIdentities library;
  collectFolderIdentities(root.get(), library, 0);
  bool inside = false;
  forEachFolderUp(given.get(), [&](const FolderIdentity& up) {
    inside = inside || library.contains(up);
  });
  struct stat status {};
  if (inside || ::fstat(given.get(), &status) != 0) return true;
  const FolderIdentity identity{status.st_dev, status.st_ino};
  bool contains = false;
  forEachFolderUp(root.get(), [&](const FolderIdentity& up) { contains = contains || up == identity; });
  return contains;
}

void DiskLibrary::finishInterruptedChange() {
  if (!root_) return;
  const FileDescriptor root(::open(root_->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (root.valid()) photos::finishInterruptedChange(root.get());
}

std::vector<Asset> DiskLibrary::fetchAll() {
  unreadable_.clear();
  if (!root_) return {};
  const FileDescriptor root(::open(root_->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid()) return {};
  std::vector<Located> located;
  AlsoRead alsoRead;
  collect(root.get(), "", rootText(*root_), located, unreadable_, alsoRead);
  {
    const std::lock_guard lock(alsoReadMutex_);
    alsoRead_ = std::move(alsoRead);
  }
  std::sort(unreadable_.begin(), unreadable_.end());
  std::sort(located.begin(), located.end(),
            [](const Located& a, const Located& b) { return a.relativePath < b.relativePath; });
  std::vector<Asset> assets;
  assets.reserve(located.size());
  for (Located& entry : located) assets.push_back(std::move(entry.asset));
  return assets;
}

std::vector<Asset> DiskLibrary::fetchByIdentifiers(const std::vector<std::string>& identifiers) {
  std::vector<Asset> found;
  if (!root_) return found;
  const FileDescriptor root(::open(root_->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid()) return found;
  const std::string base = rootText(*root_);
  // Each folder asked about is listed once, however many identifiers it holds.
  std::map<std::string, ResolvedFolder> folders;
  std::set<std::string> seen;
  for (const std::string& identifier : identifiers) {
    const std::optional<std::string> path = pathForIdentifier(identifier);
    if (!path) continue;
    const auto [folder, name] = folderAndName(*path);
    auto cached = folders.find(folder);
    if (cached == folders.end()) {
      ResolvedFolder resolved = resolveFolder(root.get(), base, folder);
      resolved.fd.reset();  // only the listing is needed here
      cached = folders.emplace(folder, std::move(resolved)).first;
    }
    const auto asset = cached->second.assets.find(name);
    if (asset != cached->second.assets.end() && seen.insert(*path).second) {
      found.push_back(asset->second);
      const auto read = cached->second.alsoRead.find(asset->second.localIdentifier);
      const std::lock_guard lock(alsoReadMutex_);
      if (read != cached->second.alsoRead.end()) {
        alsoRead_[read->first] = read->second;
      } else {
        alsoRead_.erase(asset->second.localIdentifier);
      }
      // The files as they were first found in this run: a change of this
      // asset moves these files or nothing. (A file missing now gets an
      // identity no file has.)
      for (const Resource& resource : found.back().resources) {
        struct stat status {};
        fetched_.emplace(resource.location, ::lstat(resource.location.c_str(), &status) == 0
                                                ? base::identityOf(status)
                                                : base::FileIdentity{});
      }
    }
  }
  return found;
}

AssetAttributes DiskLibrary::attributes(const Asset& asset) {
  AssetAttributes attributes;
  if (asset.resources.empty()) return attributes;
  const std::string& path = asset.resources.front().location;
  const bool readable = isRegularFile(path) && canRead(path);
  // Embedded XMP and the desktop's rating both live in the primary file.
  if (!readable && !isDanglingLink(path)) attributes.favoriteUnknown = true;
  std::optional<double> created;              // the file's own EXIF or XMP
  std::optional<WallClock> createdAsWritten;  // that date when it has no zone
  std::optional<double> containerDate;        // a video's

  if (asset.mediaType == mediaTypeImage) {
    const std::string base = root_ ? rootText(*root_) + "/" : std::string();
    const std::string_view relative = !base.empty() && path.starts_with(base)
                                          ? std::string_view(path).substr(base.size())
                                          : std::string_view(path);
    if (screenshotByPath(relative)) attributes.mediaSubtypes |= mediaSubtypeScreenshot;
    if (readable) {
      const IsolatedRead<ImageMetadata> read = isolatedImageMetadata(path);
      // A file whose reading ended its worker may still hold a rating.
      if (read.workerFailed) attributes.favoriteUnknown = true;
      if (const std::optional<ImageMetadata>& image = read.value) {
        attributes.pixelWidth = image->width;
        attributes.pixelHeight = image->height;
        created = image->captureDate;
        createdAsWritten = image->captureWallClock;
        attributes.isFavorite = fiveStars(image->rating);
        if (image->ratingUnknown) attributes.favoriteUnknown = true;
        if (image->screenshotMarker) attributes.mediaSubtypes |= mediaSubtypeScreenshot;
      }
    }
  } else if (asset.mediaType == mediaTypeVideo && readable) {
    if (const std::optional<VideoMetadata>& video = isolatedVideoMetadata(path).value) {
      attributes.pixelWidth = video->width;
      attributes.pixelHeight = video->height;
      containerDate = video->creationDate;
    }
  }

  if (!attributes.isFavorite && readable) {
    const std::optional<bool> desktop = ratedFiveStarsByDesktop(path);
    if (!desktop) attributes.favoriteUnknown = true;
    attributes.isFavorite = desktop.value_or(false);
  }
  // XMP sidecars, in resource order: a rating, and the date when the file
  // itself has none. A sidecar's date (often one set by hand in a photo
  // organiser) comes before a video container's. A sidecar that cannot be
  // read or parsed leaves the rating unknown.
  for (const Resource& resource : asset.resources) {
    if (attributes.isFavorite && created) break;
    if (resource.type != resourceTypeAdjustmentData || !hasExtension(resource.location, "xmp")) {
      continue;
    }
    if (!isRegularFile(resource.location) || !canRead(resource.location)) {
      if (!isDanglingLink(resource.location)) attributes.favoriteUnknown = true;
      continue;
    }
    const IsolatedRead<SidecarMetadata> read = isolatedSidecar(resource.location);
    const std::optional<SidecarMetadata>& sidecar = read.value;
    if (read.workerFailed || !sidecar || sidecar->unreadable) {
      attributes.favoriteUnknown = true;
      continue;
    }
    if (!attributes.isFavorite) attributes.isFavorite = fiveStars(sidecar->rating);
    if (!created) {
      created = sidecar->captureDate;
      createdAsWritten = sidecar->captureWallClock;
    }
  }

  if (created) attributes.creationWallClock = createdAsWritten;
  std::optional<double> takeoutDate;
  addCatalogFacts(asset, attributes, takeoutDate);

  if (!created) created = containerDate;
  if (!created) created = takeoutDate;
  attributes.creationDate = created ? created : modificationTime(path);
  return attributes;
}

std::vector<std::string> DiskLibrary::alsoReadFor(const Asset& asset) const {
  const std::lock_guard lock(alsoReadMutex_);
  const auto found = alsoRead_.find(asset.localIdentifier);
  return found == alsoRead_.end() ? std::vector<std::string>() : found->second;
}

std::shared_ptr<const FavouriteIndex> DiskLibrary::programFavourites() {
  const std::lock_guard lock(programFavouritesMutex_);
  if (!programFavourites_) {
    programFavourites_ = std::make_shared<const FavouriteIndex>(
        root_ ? readProgramDatabases(catalogPlacesFromEnvironment(rootText(*root_)))
              : FavouriteIndex{});
  }
  return programFavourites_;
}

std::string DiskLibrary::relativePath(const std::string& location) const {
  const std::string base = root_ ? rootText(*root_) + "/" : std::string();
  return !base.empty() && location.starts_with(base) ? location.substr(base.size()) : location;
}

void DiskLibrary::addCatalogFacts(const Asset& asset, AssetAttributes& attributes,
                                  std::optional<double>& takeoutDate) {
  const std::shared_ptr<const FavouriteIndex> index = programFavourites();
  const FavouriteIndex& programs = *index;
  if (programs.unreadable) attributes.favoriteUnknown = true;
  for (const Resource& resource : asset.resources) {
    if (programs.favourites.contains(relativePath(resource.location))) attributes.isFavorite = true;
  }
  // Takeout's JSON sidecars: the asset's own, then those it reads besides.
  std::vector<std::string> jsons;
  for (const Resource& resource : asset.resources) {
    if (resource.type == resourceTypeAdjustmentData && hasExtension(resource.location, "json")) {
      jsons.push_back(resource.location);
    }
  }
  const std::vector<std::string> alsoRead = alsoReadFor(asset);
  jsons.insert(jsons.end(), alsoRead.begin(), alsoRead.end());
  for (const std::string& json : jsons) {
    const std::optional<TakeoutFacts> facts = readTakeoutJson(json);
    if (!facts) {
      if (!isDanglingLink(json)) attributes.favoriteUnknown = true;
      continue;
    }
    if (facts->favorited) attributes.isFavorite = true;
    if (!takeoutDate) takeoutDate = facts->takenTime;
  }
}

std::optional<std::string> DiskLibrary::assetState(const Asset& asset) {
  if (asset.resources.empty()) return std::nullopt;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t settled = nanoseconds(now) - settledNanoseconds;
  std::string state;
  // What another program's database says is part of the asset's state: a
  // rating given there shows in the next scan.
  const std::shared_ptr<const FavouriteIndex> index = programFavourites();
  const FavouriteIndex& programs = *index;
  if (programs.unreadable) return std::nullopt;
  for (const Resource& resource : asset.resources) {
    if (programs.favourites.contains(relativePath(resource.location))) state += "favourite\n";
  }
  std::vector<Resource> files = asset.resources;
  for (const std::string& location : alsoReadFor(asset)) {
    Resource read;
    read.location = location;
    read.originalFilename = "";
    files.push_back(std::move(read));
  }
  for (const Resource& resource : files) {
    // Followed through a symlink, as every read of the file is: the
    // target's identity and times are what a read would see. (A link that
    // is pointed elsewhere reaches another inode.)
    struct stat status {};
    if (::stat(resource.location.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
      return std::nullopt;
    }
    const std::string name = resource.originalFilename.value_or("");
    if (!timesAreTrusted(resource.location)) {
      // Identity and change time say nothing here (stateNeedsContent): what
      // the contents do not show is the size, the modification time (the
      // date of a file without one) and the desktop's rating.
      char rating[16] = {};
      const ssize_t length =
          ::getxattr(resource.location.c_str(), "user.baloo.rating", rating, sizeof rating);
      state += std::to_string(resource.type) + " " + std::to_string(name.size()) + ":" + name +
               " " + std::to_string(status.st_size) + " " +
               std::to_string(nanoseconds(status.st_mtim)) + " rating " +
               (length < 0 ? "errno " + std::to_string(errno)
                           : std::string(rating, static_cast<std::size_t>(length))) +
               "\n";
      continue;
    }
    // The change time moves with every write, and with attributes (a
    // desktop rating) and permissions; no program can set it back. (The
    // modification time can be anything, a camera's wrong clock included.)
    if (nanoseconds(status.st_ctim) >= settled) return std::nullopt;
    state += std::to_string(resource.type) + " " + std::to_string(name.size()) + ":" + name + " " +
             std::to_string(status.st_dev) + " " + std::to_string(status.st_ino) + " " +
             std::to_string(status.st_size) + " " + std::to_string(nanoseconds(status.st_mtim)) +
             " " + std::to_string(nanoseconds(status.st_ctim)) + "\n";
  }
  return state;
}

bool DiskLibrary::stateNeedsContent(const Asset& asset) {
  return std::any_of(asset.resources.begin(), asset.resources.end(),
                     [](const Resource& resource) { return !timesAreTrusted(resource.location); });
}

bool DiskLibrary::readResource(const Resource& resource, const ChunkHandler& onChunk) {
  // A fifo or device put in a photo's place is never opened: it could hang
  // the run or reach a driver.
  struct stat status {};
  const FileDescriptor file(base::openRegularFile(resource.location, &status));
  if (!file.valid()) return false;
  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  return readChunks(file.get(), static_cast<std::size_t>(status.st_size), onChunk);
}

std::optional<RgbImage> DiskLibrary::requestImage(const Asset& asset, std::uint32_t targetWidth,
                                                  std::uint32_t targetHeight) {
  return renderPreview(asset, targetWidth, targetHeight);
}

ChangeResult DiskLibrary::deleteAssets(const std::vector<Asset>& assets,
                                       const ChangeCheck& recheck) {
  const ChangeResult changed{false, std::nullopt, true};
  if (!root_) return changed;
  const FileDescriptor root(::open(root_->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid()) return changed;
  // Another bridge's change ends before this one looks at the folders.
  TrashChange change(root.get());

  // Every asset is resolved again, and its files are moved through the
  // descriptor of the folder that resolution opened: the files that were
  // checked, or nothing.
  const std::string base = rootText(*root_);
  std::map<std::string, ResolvedFolder> folders;
  std::vector<TrashItem> items;
  std::set<std::string> listed;
  for (const Asset& asset : assets) {
    const std::optional<std::string> path = pathForIdentifier(asset.localIdentifier);
    if (!path) return changed;
    const auto [folder, name] = folderAndName(*path);
    auto cached = folders.find(folder);
    if (cached == folders.end()) {
      cached = folders.emplace(folder, resolveFolder(root.get(), base, folder)).first;
    }
    const auto now = cached->second.assets.find(name);
    // Gone, or other files than the ones checked before: not this change.
    if (now == cached->second.assets.end() || !sameFiles(now->second, asset)) return changed;
    for (const Resource& resource : now->second.resources) {
      if (!listed.insert(resource.location).second) continue;
      const int fd = cached->second.fd->get();
      const std::optional<base::FileIdentity> identity =
          base::identityAt(fd, resource.originalFilename->c_str());
      const auto checked = fetched_.find(resource.location);
      if (!identity || (checked != fetched_.end() && !identity->sameFile(checked->second))) {
        return changed;
      }
      items.push_back({fd, folder, *resource.originalFilename, identity});
    }
  }
  if (items.empty()) return {true, std::nullopt};
  if (change.lockTimedOut()) return change.moveAll(items);
  // Whatever the checks read now is what moves: moveAll refuses a file that
  // changes after this resolution.
  if (recheck) {
    // A rating given in digiKam or Shotwell while the dialog was open counts
    // too: their databases are read again for the re-check.
    {
      const std::lock_guard lock(programFavouritesMutex_);
      programFavourites_.reset();
    }
    if (std::optional<std::string> refusal = recheck()) return {false, std::move(refusal)};
  }
  return change.moveAll(items);
}

std::unique_ptr<PhotoLibrary> openPhotoLibrary() {
  return std::make_unique<DiskLibrary>(picturesFolder());
}

}  // namespace velmora::photos
