#include "base/private_folder.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace velmora::base {

namespace {

std::optional<std::filesystem::path> homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    return std::filesystem::path(home);
  }
  if (const passwd* entry = ::getpwuid(::getuid());
      entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] == '/') {
    return std::filesystem::path(entry->pw_dir);
  }
  return std::nullopt;
}

bool makeFolders(const std::filesystem::path& folder) {
  if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return true;
  if (errno != ENOENT || !folder.has_parent_path() || folder.parent_path() == folder) return false;
  return makeFolders(folder.parent_path()) &&
         (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST);
}

}  // namespace

std::optional<std::filesystem::path> bridgeCacheFolder() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache == '/') {
    return std::filesystem::path(cache) / "velmora-bridge";
  }
  const std::optional<std::filesystem::path> home = homeFolder();
  if (!home) return std::nullopt;
  return *home / ".cache" / "velmora-bridge";
}

std::optional<std::filesystem::path> bridgeDataFolder() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
    return std::filesystem::path(data) / "velmora-bridge";
  }
  const std::optional<std::filesystem::path> home = homeFolder();
  if (!home) return std::nullopt;
  return *home / ".local" / "share" / "velmora-bridge";
}

int openPrivateFolder(const std::filesystem::path& folder, bool create) {
  const std::filesystem::path normal = folder.lexically_normal();
  if (!normal.is_absolute() || !normal.has_filename()) return -1;
  if (create && !makeFolders(normal)) return -1;
  // O_NOFOLLOW: a symlink in the folder's place is refused, not followed.
  const int fd = ::open(normal.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() ||
      ((status.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0)) {
    ::close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

}  // namespace velmora::base
