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

#include "bridge/photos/chunked_read.h"
#include "bridge/photos/identifier.h"
#include "bridge/photos/layout.h"
#include "bridge/photos/location.h"
#include "bridge/photos/media_metadata.h"
#include "bridge/photos/preview.h"
#include "bridge/photos/screenshot.h"
#include "bridge/photos/trash.h"
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
    if (fileKind(name) == FileKind::other) continue;
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

struct Located {
  std::string relativePath;  // of the primary file
  Asset asset;
};

Asset makeAsset(const std::string& rootText, const std::string& folder, const AssetLayout& layout) {
  Asset asset;
  asset.localIdentifier = identifierForPath(folder + layout.resources.front().name);
  asset.mediaType = layout.mediaType;
  asset.resources.reserve(layout.resources.size());
  for (const ResourceLayout& file : layout.resources) {
    Resource resource;
    resource.type = file.type;
    resource.uniformTypeIdentifier = uniformTypeIdentifier(file.name);
    resource.originalFilename = file.name;
    resource.location = rootText + "/" + folder + file.name;
    asset.resources.push_back(std::move(resource));
  }
  return asset;
}

void collect(int folder, const std::string& relativeFolder, const std::string& rootText,
             std::vector<Located>& out) {
  FolderListing listing = listFolder(folder);
  for (const AssetLayout& layout : groupFolder(std::move(listing.files))) {
    out.push_back({relativeFolder + layout.resources.front().name,
                   makeAsset(rootText, relativeFolder, layout)});
  }
  for (const std::string& name : listing.folders) {
    const FileDescriptor child(openFolderAt(folder, name.c_str()));
    if (child.valid()) collect(child.get(), relativeFolder + name + "/", rootText, out);
  }
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

bool hasExtension(std::string_view name, std::string_view lowerExtension) {
  if (name.size() <= lowerExtension.size() + 1) return false;
  const std::string_view tail = name.substr(name.size() - lowerExtension.size());
  if (name[name.size() - lowerExtension.size() - 1] != '.') return false;
  return std::equal(tail.begin(), tail.end(), lowerExtension.begin(), [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) == b;
  });
}

// The desktop's own rating (Baloo, used by Dolphin and Gwenview): 0-10,
// in half stars; 10 is five stars.
bool ratedFiveStarsByDesktop(const std::string& path) {
  char value[16] = {};
  const ssize_t length = ::getxattr(path.c_str(), "user.baloo.rating", value, sizeof value - 1);
  if (length <= 0) return false;
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

}  // namespace

DiskLibrary::DiskLibrary(std::optional<std::filesystem::path> root) : root_(std::move(root)) {}

bool DiskLibrary::authorize() { return root_ && folderGrantsFullAccess(*root_); }

std::vector<Asset> DiskLibrary::fetchAll() {
  if (!root_) return {};
  const FileDescriptor root(::open(root_->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid()) return {};
  std::vector<Located> located;
  collect(root.get(), "", rootText(*root_), located);
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
  // The assets of each folder asked about, by primary file name.
  std::map<std::string, std::map<std::string, Asset>> folders;
  std::set<std::string> seen;
  for (const std::string& identifier : identifiers) {
    const std::optional<std::string> path = pathForIdentifier(identifier);
    if (!path) continue;
    const std::size_t slash = path->rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path->substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? *path : path->substr(slash + 1);
    auto cached = folders.find(folder);
    if (cached == folders.end()) {
      std::map<std::string, Asset> assets;
      // Walk down one real folder at a time: a symlinked folder on the way
      // leads outside the library (or in a circle) and names nothing.
      int current = ::fcntl(root.get(), F_DUPFD_CLOEXEC, 0);
      for (std::size_t start = 0; current >= 0 && start < folder.size();) {
        const std::size_t end = folder.find('/', start);
        const std::string segment = folder.substr(start, end - start);
        const int next = openFolderAt(current, segment.c_str());
        ::close(current);
        current = next;
        start = end + 1;
      }
      if (current >= 0) {
        const FileDescriptor folderFd(current);
        for (const AssetLayout& layout : groupFolder(listFolder(folderFd.get()).files)) {
          assets.emplace(layout.resources.front().name, makeAsset(base, folder, layout));
        }
      }
      cached = folders.emplace(folder, std::move(assets)).first;
    }
    const auto asset = cached->second.find(name);
    if (asset != cached->second.end() && seen.insert(*path).second) {
      found.push_back(asset->second);
    }
  }
  return found;
}

AssetAttributes DiskLibrary::attributes(const Asset& asset) {
  AssetAttributes attributes;
  if (asset.resources.empty()) return attributes;
  const std::string& path = asset.resources.front().location;
  const bool readable = isRegularFile(path);
  std::optional<double> created;

  if (asset.mediaType == mediaTypeImage) {
    const std::string base = root_ ? rootText(*root_) + "/" : std::string();
    const std::string_view relative = !base.empty() && path.starts_with(base)
                                          ? std::string_view(path).substr(base.size())
                                          : std::string_view(path);
    if (screenshotByPath(relative)) attributes.mediaSubtypes |= mediaSubtypeScreenshot;
    if (readable) {
      if (const std::optional<ImageMetadata> image = readImageMetadata(path)) {
        attributes.pixelWidth = image->width;
        attributes.pixelHeight = image->height;
        created = image->captureDate;
        attributes.isFavorite = fiveStars(image->rating);
        if (image->screenshotMarker) attributes.mediaSubtypes |= mediaSubtypeScreenshot;
      }
    }
  } else if (asset.mediaType == mediaTypeVideo && readable) {
    if (const std::optional<VideoMetadata> video = readVideoMetadata(path)) {
      attributes.pixelWidth = video->width;
      attributes.pixelHeight = video->height;
      created = video->creationDate;
    }
  }

  if (!attributes.isFavorite && readable) attributes.isFavorite = ratedFiveStarsByDesktop(path);
  for (const Resource& resource : asset.resources) {
    if (attributes.isFavorite) break;
    if (resource.type != resourceTypeAdjustmentData || !hasExtension(resource.location, "xmp")) {
      continue;
    }
    if (isRegularFile(resource.location)) {
      attributes.isFavorite = fiveStars(readSidecarRating(resource.location));
    }
  }

  attributes.creationDate = created ? created : modificationTime(path);
  return attributes;
}

std::optional<std::string> DiskLibrary::assetState(const Asset& asset) {
  if (asset.resources.empty()) return std::nullopt;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t settled = nanoseconds(now) - settledNanoseconds;
  std::string state;
  for (const Resource& resource : asset.resources) {
    // Followed through a symlink, as every read of the file is: the
    // target's identity and times are what a read would see. (A link that
    // is pointed elsewhere reaches another inode.)
    struct stat status {};
    if (::stat(resource.location.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
      return std::nullopt;
    }
    // The change time moves with every write, and with attributes (a
    // desktop rating) and permissions; no program can set it back. (The
    // modification time can be anything, a camera's wrong clock included.)
    if (nanoseconds(status.st_ctim) >= settled) return std::nullopt;
    const std::string name = resource.originalFilename.value_or("");
    state += std::to_string(resource.type) + " " + std::to_string(name.size()) + ":" + name + " " +
             std::to_string(status.st_dev) + " " + std::to_string(status.st_ino) + " " +
             std::to_string(status.st_size) + " " + std::to_string(nanoseconds(status.st_mtim)) +
             " " + std::to_string(nanoseconds(status.st_ctim)) + "\n";
  }
  return state;
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

ChangeResult DiskLibrary::deleteAssets(const std::vector<Asset>& assets) {
  const ChangeResult changed{false, std::nullopt, true};
  std::vector<std::string> identifiers;
  identifiers.reserve(assets.size());
  for (const Asset& asset : assets) identifiers.push_back(asset.localIdentifier);
  std::map<std::string, Asset> current;
  for (Asset& asset : fetchByIdentifiers(identifiers)) {
    std::string identifier = asset.localIdentifier;
    current.emplace(std::move(identifier), std::move(asset));
  }

  std::vector<std::filesystem::path> files;
  std::set<std::string> listed;
  for (const Asset& asset : assets) {
    const auto now = current.find(asset.localIdentifier);
    // Gone, or other files than the ones checked before: not this change.
    if (now == current.end() || !sameFiles(now->second, asset)) return changed;
    for (const Resource& resource : now->second.resources) {
      if (listed.insert(resource.location).second) files.emplace_back(resource.location);
    }
  }
  if (files.empty()) return {true, std::nullopt};
  return trashFiles(files);
}

std::unique_ptr<PhotoLibrary> openPhotoLibrary() {
  return std::make_unique<DiskLibrary>(picturesFolder());
}

}  // namespace velmora::photos
