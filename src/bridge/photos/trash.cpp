#include "bridge/photos/trash.h"

#include "base/write_all.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace velmora::photos {

namespace fs = std::filesystem;

namespace {

// One trash folder with its two halves. Per-volume trashes record the
// original path relative to the volume's top folder, the home trash records
// it absolute.
struct TrashFolder {
  fs::path files;
  fs::path info;
  std::optional<fs::path> topdir;
};

struct Move {
  fs::path original;
  fs::path trashed;
  fs::path info;
};

// Why a trash folder or a move is not possible: an errno value, or 0 for
// "this volume has no usable trash".
struct Refusal {
  int error = 0;
};

constexpr unsigned maxNameAttempts = 100000;

std::string reasonText(int error) {
  switch (error) {
    case 0:
      return "kein Papierkorb auf diesem Datenträger verfügbar";
    case ENOENT:
      return "Datei nicht gefunden";
    case EACCES:
    case EPERM:
      return "keine Berechtigung";
    case EROFS:
      return "Datenträger ist schreibgeschützt";
    case ENOSPC:
    case EDQUOT:
      return "kein Speicherplatz frei";
    case EXDEV:
      return "Papierkorb liegt auf einem anderen Datenträger";
    case ENAMETOOLONG:
      return "Name zu lang";
    case EBUSY:
      return "Datei wird verwendet";
    case ENOTDIR:
      return "Papierkorb-Ordner ist kein Ordner";
    case EIO:
      return "Ein-/Ausgabefehler";
    default:
      return std::strerror(error);
  }
}

std::optional<fs::path> homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/')
    return fs::path(home);
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return fs::path(entry->pw_dir);
  }
  return std::nullopt;
}

std::optional<fs::path> homeTrashPath() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
    return fs::path(data) / "Trash";
  }
  if (std::optional<fs::path> home = homeFolder()) return *home / ".local" / "share" / "Trash";
  return std::nullopt;
}

// The device of the nearest existing folder on the way to `path`.
std::optional<dev_t> deviceOfNearest(fs::path path) {
  for (;;) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return info.st_dev;
    if (!path.has_relative_path()) return std::nullopt;
    path = path.parent_path();
  }
}

// Creates `folder` (mode 0700) unless it exists; an existing one must be a
// real folder, not a symlink to one. Returns 0 or an errno value.
int ensureFolder(const fs::path& folder) {
  if (::mkdir(folder.c_str(), 0700) == 0) return 0;
  if (errno != EEXIST) return errno;
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) return errno;
  return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
}

int ensureFolderWithParents(const fs::path& folder) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
  if (folder.has_relative_path() && folder.parent_path() != folder) {
    if (int error = ensureFolderWithParents(folder.parent_path()); error != 0) return error;
  }
  return ensureFolder(folder);
}

std::optional<TrashFolder> trashIn(const fs::path& base, std::optional<fs::path> topdir,
                                   Refusal& refusal) {
  TrashFolder folder{base / "files", base / "info", std::move(topdir)};
  for (const fs::path& half : {folder.files, folder.info}) {
    if (int error = ensureFolder(half); error != 0) {
      refusal.error = error;
      return std::nullopt;
    }
  }
  return folder;
}

// Owned by us, a real folder and no symlink: anything else in a shared
// volume may be a trap laid by another user.
bool isOwnFolder(const fs::path& folder) {
  struct stat info {};
  return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid();
}

std::optional<TrashFolder> volumeTrash(const fs::path& topdir, Refusal& refusal) {
  const std::string uid = std::to_string(::getuid());
  // $topdir/.Trash, set up by an administrator: a sticky folder, not a link.
  const fs::path shared = topdir / ".Trash";
  struct stat info {};
  if (::lstat(shared.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
      (info.st_mode & S_ISVTX) != 0) {
    const fs::path own = shared / uid;
    if (ensureFolder(own) == 0 && isOwnFolder(own)) {
      if (auto folder = trashIn(own, topdir, refusal)) return folder;
    }
  }
  const fs::path own = topdir / (".Trash-" + uid);
  if (int error = ensureFolder(own); error != 0) {
    refusal.error = error;
    return std::nullopt;
  }
  if (!isOwnFolder(own)) {
    refusal.error = 0;
    return std::nullopt;
  }
  return trashIn(own, topdir, refusal);
}

// The top folder of the volume holding `folder` (a canonical path).
fs::path topdirOf(fs::path folder, dev_t device) {
  while (folder.has_relative_path()) {
    const fs::path parent = folder.parent_path();
    struct stat info {};
    if (::stat(parent.c_str(), &info) != 0 || info.st_dev != device) break;
    folder = parent;
  }
  return folder;
}

// Percent-escapes everything but unreserved characters and the separator,
// as file managers expect in a trash info file.
std::string escapedPath(const std::string& path) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.' || c == '~' || c == '/';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 0xF]);
    }
  }
  return out;
}

std::string deletionDate() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  return text;
}

// Cuts `text` to at most `bytes` bytes without splitting a UTF-8 sequence.
std::string cutUtf8(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// The attempt'th name for `original` inside the trash: the name itself,
// then "stem.2.ext", "stem.3.ext", ...; short enough that its info file
// name still fits a folder entry.
std::string trashName(const fs::path& original, unsigned attempt) {
  const size_t limit = NAME_MAX - std::strlen(".trashinfo");
  std::string stem = original.stem().string();
  std::string extension = original.extension().string();
  if (extension.size() > 32) {
    stem += extension;
    extension.clear();
  }
  std::string suffix;
  if (attempt > 1) suffix.append(".").append(std::to_string(attempt));
  const size_t fixed = suffix.size() + extension.size();
  return cutUtf8(stem, limit > fixed ? limit - fixed : 0) + suffix + extension;
}

bool entryExists(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

// rename() that never replaces an existing entry. Returns 0 or an errno value.
int renameNoReplace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the flag: check first, then rename.
  if (entryExists(to)) return EEXIST;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}


// Moves one file into `trash`: the info file is claimed first (O_EXCL), so
// that two programs trashing at once never share a name, then the file is
// renamed beside it. Returns 0 or an errno value.
int moveToTrash(const fs::path& original, const std::string& recordedPath, const TrashFolder& trash,
                Move& move) {
  const std::string contents =
      "[Trash Info]\nPath=" + escapedPath(recordedPath) + "\nDeletionDate=" + deletionDate() + "\n";
  for (unsigned attempt = 1; attempt <= maxNameAttempts; ++attempt) {
    const std::string name = trashName(original.filename(), attempt);
    const fs::path info = trash.info / (name + ".trashinfo");
    const fs::path trashed = trash.files / name;
    const int fd = ::open(info.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    const bool written = base::writeAll(fd, contents);
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
      ::unlink(info.c_str());
      return written ? EIO : writeError;
    }
    // A file left in files/ without its info file still blocks the name.
    if (entryExists(trashed)) {
      ::unlink(info.c_str());
      continue;
    }
    const int error = renameNoReplace(original, trashed);
    if (error == EEXIST) {
      ::unlink(info.c_str());
      continue;
    }
    if (error != 0) {
      ::unlink(info.c_str());
      return error;
    }
    move = Move{original, trashed, info};
    return 0;
  }
  return EEXIST;
}

// Chooses and caches the trash folder for each device met in one change.
class TrashChooser {
 public:
  std::optional<TrashFolder> folderFor(const fs::path& original, dev_t device, Refusal& refusal) {
    if (auto found = chosen_.find(device); found != chosen_.end()) {
      refusal = found->second.second;
      return found->second.first;
    }
    std::optional<TrashFolder> folder = choose(original, device, refusal);
    chosen_[device] = {folder, refusal};
    return folder;
  }

 private:
  std::optional<TrashFolder> choose(const fs::path& original, dev_t device, Refusal& refusal) {
    const std::optional<fs::path> home = homeTrashPath();
    if (home && deviceOfNearest(*home) == device) {
      if (int error = ensureFolderWithParents(*home); error != 0) {
        refusal.error = error;
        return std::nullopt;
      }
      return trashIn(*home, std::nullopt, refusal);
    }
    std::error_code error;
    const fs::path parent = fs::canonical(original.parent_path(), error);
    if (error) {
      refusal.error = error.value();
      return std::nullopt;
    }
    return volumeTrash(topdirOf(parent, device), refusal);
  }

  std::map<dev_t, std::pair<std::optional<TrashFolder>, Refusal>> chosen_;
};

// The path a file manager restores to: absolute for the home trash, relative
// to the volume's top folder otherwise.
std::string recordedPath(const fs::path& original, const TrashFolder& trash) {
  if (!trash.topdir) return original.string();
  std::error_code error;
  const fs::path parent = fs::canonical(original.parent_path(), error);
  if (error) return original.string();
  return (parent / original.filename()).lexically_relative(*trash.topdir).string();
}

// Puts moved files back, newest first. Returns how many stayed in the trash
// (with their info files, so that they can still be restored by hand).
size_t putBack(const std::vector<Move>& moves) {
  size_t stayed = 0;
  for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
    if (renameNoReplace(move->trashed, move->original) == 0) {
      ::unlink(move->info.c_str());
    } else {
      ++stayed;
    }
  }
  return stayed;
}

}  // namespace

ChangeResult trashFiles(const std::vector<fs::path>& files) {
  std::vector<fs::path> originals;
  std::set<fs::path> seen;
  for (const fs::path& file : files) {
    fs::path original = fs::absolute(file).lexically_normal();
    if (seen.insert(original).second) originals.push_back(std::move(original));
  }

  TrashChooser chooser;
  std::vector<Move> moves;
  moves.reserve(originals.size());
  for (const fs::path& original : originals) {
    int error = 0;
    struct stat info {};
    if (original.filename().empty() || ::lstat(original.c_str(), &info) != 0) {
      error = original.filename().empty() ? ENOENT : errno;
    } else {
      Refusal refusal;
      if (std::optional<TrashFolder> trash = chooser.folderFor(original, info.st_dev, refusal)) {
        Move move;
        error = moveToTrash(original, recordedPath(original, *trash), *trash, move);
        if (error == 0) {
          moves.push_back(std::move(move));
          continue;
        }
      } else {
        error = refusal.error;
      }
    }

    std::string description = "„";
    description.append(original.filename().string())
        .append("“ konnte nicht in den Papierkorb verschoben werden: ")
        .append(reasonText(error))
        .append(".");
    if (const size_t stayed = putBack(moves); stayed > 0) {
      description.append(" ")
          .append(std::to_string(stayed))
          .append(" bereits verschobene Dateien konnten nicht zurückgelegt werden und "
                  "liegen im Papierkorb.");
    }
    return ChangeResult{false, description};
  }
  return ChangeResult{true, std::nullopt};
}

}  // namespace velmora::photos
