#include "bridge/photos/trash/trash.h"

#include "base/regular_file.h"
#include "base/signal_hold.h"
#include "base/write_all.h"
#include "bridge/photos/trash/change_journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <string>
#include <unordered_set>

namespace velmora::photos {

namespace fs = std::filesystem;

namespace {

// One trash folder with its two halves, open. Per-volume trashes record the
// original path relative to the volume's top folder, the home trash records
// it absolute.
struct TrashFolder {
  TrashFolder() = default;
  TrashFolder(const TrashFolder&) = delete;
  TrashFolder& operator=(const TrashFolder&) = delete;
  ~TrashFolder() {
    if (files >= 0) ::close(files);
    if (info >= 0) ::close(info);
  }
  std::string base;  // the path of the trash folder itself, as the journal names it
  int files = -1;    // both halves, open
  int info = -1;
  std::optional<std::string> topdir;
  std::unordered_set<std::string> taken;  // names in files/ and info/ (without .trashinfo)
  bool listed = false;
};

constexpr unsigned maxNameAttempts = 100000;
constexpr int maxPlanAttempts = 3;
constexpr const char* infoSuffix = ".trashinfo";
// How long a run that only puts back an old change waits for the lock.
constexpr std::chrono::milliseconds replayLockWait{2'000};

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

std::optional<fs::path> homeTrashPath() {
  if (std::optional<fs::path> data = dataHome()) return *data / "Trash";
  return std::nullopt;
}

// Which mount a folder lies on. Two folders of one file system can still be
// different mounts (a bind mount), and rename() does not cross mounts.
struct MountKey {
  dev_t device = 0;
  std::uint64_t mount = 0;  // 0 when the kernel does not tell
  bool operator<(const MountKey& other) const {
    return device != other.device ? device < other.device : mount < other.mount;
  }
  bool operator==(const MountKey& other) const = default;
};

std::optional<MountKey> mountOf(int dirfd, const char* path, int flags) {
  struct statx info {};
  if (::statx(dirfd, path, flags, STATX_MNT_ID, &info) != 0) return std::nullopt;
  MountKey key;
  key.device = ::makedev(info.stx_dev_major, info.stx_dev_minor);
  if ((info.stx_mask & STATX_MNT_ID) != 0) key.mount = info.stx_mnt_id;
  return key;
}

// The mount of the nearest existing folder on the way to `path`.
std::optional<MountKey> mountOfNearest(fs::path path) {
  for (;;) {
    if (std::optional<MountKey> key = mountOf(AT_FDCWD, path.c_str(), 0)) return key;
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

int openFolderNoFollow(const fs::path& folder) {
  return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens both halves of the trash at `base`, creating them when missing.
// Returns 0 or an errno value.
int openTrashIn(const fs::path& base, std::optional<std::string> topdir, TrashFolder& folder) {
  folder.base = base.string();
  folder.topdir = std::move(topdir);
  for (const char* half : {"files", "info"}) {
    if (int error = ensureFolder(base / half); error != 0) return error;
  }
  folder.files = openFolderNoFollow(base / "files");
  if (folder.files < 0) return errno;
  folder.info = openFolderNoFollow(base / "info");
  if (folder.info < 0) return errno;
  return 0;
}

// Owned by us, a real folder and no symlink: anything else in a shared
// volume may be a trap laid by another user.
bool isOwnFolder(const fs::path& folder) {
  struct stat info {};
  return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid();
}

int openVolumeTrash(const fs::path& topdir, TrashFolder& folder) {
  const std::string uid = std::to_string(::getuid());
  // $topdir/.Trash, set up by an administrator: a sticky folder, not a link.
  const fs::path shared = topdir / ".Trash";
  struct stat info {};
  if (::lstat(shared.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
      (info.st_mode & S_ISVTX) != 0) {
    const fs::path own = shared / uid;
    if (ensureFolder(own) == 0 && isOwnFolder(own) && openTrashIn(own, topdir, folder) == 0) {
      return 0;
    }
  }
  const fs::path own = topdir / (".Trash-" + uid);
  if (int error = ensureFolder(own); error != 0) return error;
  if (!isOwnFolder(own)) return 0;
  const int error = openTrashIn(own, topdir, folder);
  return error == 0 ? 0 : error;
}

// The top folder of the mount holding `folder` (a canonical path).
fs::path topdirOf(fs::path folder, const MountKey& key) {
  while (folder.has_relative_path()) {
    const fs::path parent = folder.parent_path();
    const std::optional<MountKey> above = mountOf(AT_FDCWD, parent.c_str(), 0);
    if (!above || !(*above == key)) break;
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
  const size_t limit = NAME_MAX - std::strlen(infoSuffix);
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

// renameat() that never replaces an existing entry. Returns 0 or an errno
// value.
int renameNoReplace(int fromFolder, const std::string& from, int toFolder, const std::string& to) {
  if (::renameat2(fromFolder, from.c_str(), toFolder, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the flag: check first, then rename.
  struct stat info {};
  if (::fstatat(toFolder, to.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
  return ::renameat(fromFolder, from.c_str(), toFolder, to.c_str()) == 0 ? 0 : errno;
}

// Every name in the open folder `fd`, with `dropSuffix` cut off where it
// ends one.
void listNames(int fd, std::string_view dropSuffix, std::unordered_set<std::string>& out) {
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return;
  DIR* dir = ::fdopendir(own);
  if (dir == nullptr) {
    ::close(own);
    return;
  }
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!dropSuffix.empty() && name.size() > dropSuffix.size() && name.ends_with(dropSuffix)) {
      name.remove_suffix(dropSuffix.size());
    }
    out.emplace(name);
  }
  ::closedir(dir);
}

// The path of an open folder as the kernel sees it now.
std::optional<std::string> pathOfFolder(int fd) {
  char buffer[PATH_MAX + 1];
  const ssize_t length = ::readlink(base::descriptorPath(fd).c_str(), buffer, PATH_MAX);
  if (length <= 0 || buffer[0] != '/') return std::nullopt;
  std::string path(buffer, static_cast<std::size_t>(length));
  if (path.ends_with(" (deleted)")) return std::nullopt;
  return path;
}

// Chooses and keeps open the trash folder for each mount met in one change.
class TrashChooser {
 public:
  // The trash for files of the open folder `folder`; null with `error` set
  // (0: this volume has no usable trash) when there is none.
  TrashFolder* forFolder(int folder, int& error) {
    const std::optional<MountKey> key = mountOf(folder, "", AT_EMPTY_PATH);
    if (!key) {
      error = errno;
      return nullptr;
    }
    auto found = chosen_.find(*key);
    if (found == chosen_.end()) {
      auto trash = std::make_unique<TrashFolder>();
      const int chosen = choose(folder, *key, *trash);
      found = chosen_.emplace(*key, Choice{chosen == 0 && trash->files >= 0 ? std::move(trash) : nullptr,
                                          chosen}).first;
    }
    error = found->second.error;
    return found->second.trash.get();
  }

  std::vector<TrashFolder*> all() {
    std::vector<TrashFolder*> folders;
    for (auto& [key, choice] : chosen_) {
      if (choice.trash) folders.push_back(choice.trash.get());
    }
    return folders;
  }

 private:
  struct Choice {
    std::unique_ptr<TrashFolder> trash;
    int error = 0;
  };

  static int choose(int folder, const MountKey& key, TrashFolder& trash) {
    const std::optional<fs::path> home = homeTrashPath();
    if (home && mountOfNearest(*home) == key) {
      if (int error = ensureFolderWithParents(*home); error != 0) return error;
      return openTrashIn(*home, std::nullopt, trash);
    }
    const std::optional<std::string> path = pathOfFolder(folder);
    if (!path) return ENOENT;
    return openVolumeTrash(topdirOf(*path, key), trash);
  }

  std::map<MountKey, Choice> chosen_;
};

// The path a file manager restores to: absolute for the home trash, relative
// to the volume's top folder otherwise. No value when the folder is not
// below that top folder (it moved).
std::optional<std::string> recordedPath(const std::string& folderPath, const std::string& name,
                                        const TrashFolder& trash) {
  const std::string full = (folderPath == "/" ? "" : folderPath) + "/" + name;
  if (!trash.topdir) return full;
  const std::string& top = *trash.topdir;
  if (top == "/") return full.substr(1);
  if (!full.starts_with(top + "/")) return std::nullopt;
  return full.substr(top.size() + 1);
}

std::string infoContents(const std::string& recorded) {
  return "[Trash Info]\nPath=" + escapedPath(recorded) + "\nDeletionDate=" + deletionDate() + "\n";
}

// What an info file says about where its file came from.
struct Recorded {
  bool exists = false;
  std::optional<std::string> path;  // the unescaped Path=; none when cut short
};

// Reads an info file through its trash's descriptor. One that was created
// but not yet written when a run was killed holds no whole Path= line.
Recorded recordedIn(const TrashFolder& trash, const std::string& trashName) {
  Recorded recorded;
  const base::UniqueFd fd(::openat(trash.info, (trashName + infoSuffix).c_str(),
                                   O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return recorded;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > 65536) {
    return recorded;
  }
  recorded.exists = true;
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  if (::pread(fd.get(), text.data(), text.size(), 0) != info.st_size) return recorded;
  const std::size_t start = text.find("\nPath=");
  if (start == std::string::npos) return recorded;
  const std::size_t end = text.find('\n', start + 1);
  if (end == std::string::npos) return recorded;
  recorded.path = percentDecoded(text.substr(start + 6, end - start - 6));
  return recorded;
}

// One planned move.
struct Move {
  const TrashItem* item = nullptr;
  TrashFolder* trash = nullptr;
  std::string trashName;
  std::string recorded;
  base::FileIdentity identity;  // the file to move, as it was checked
  bool claimed = false;  // the info file is ours
  bool moved = false;
};

// The journal's identity of a file: a rename moves the change time.
base::FileIdentity beforeMove(base::FileIdentity identity) {
  identity.changed = 0;
  return identity;
}

void syncFolder(int fd) {
  if (fd >= 0) ::fsync(fd);
}

// Puts back moved files and removes every info file this change claimed.
// Returns how many files stayed in the trash (with their info files, so that
// they can still be restored by hand).
std::size_t undo(std::vector<Move>& moves) {
  std::size_t stayed = 0;
  for (auto move = moves.rbegin(); move != moves.rend(); ++move) {
    if (move->moved) {
      if (renameNoReplace(move->trash->files, move->trashName, move->item->folder,
                          move->item->name) != 0) {
        ++stayed;
        continue;
      }
      move->moved = false;
    }
    if (move->claimed) {
      ::unlinkat(move->trash->info, (move->trashName + infoSuffix).c_str(), 0);
      move->claimed = false;
    }
  }
  return stayed;
}

ChangeResult failure(const std::string& name, int error, std::size_t stayed) {
  // Appended piece by piece: "literal" + std::string trips GCC 12's
  // -Wrestrict at -O3.
  std::string description = "„";
  description.append(name)
      .append("“ konnte nicht in den Papierkorb verschoben werden: ")
      .append(reasonText(error))
      .append(".");
  if (stayed > 0) {
    description.append(" ")
        .append(std::to_string(stayed))
        .append(" bereits verschobene Dateien konnten nicht zurückgelegt werden und "
                "liegen im Papierkorb.");
  }
  return ChangeResult{false, description};
}

// Walks `relativeFolder` ("a/b/") down from `root` one real folder at a
// time; -1 when a segment is missing, a symlink, hidden or not a name.
int openBelow(int root, const std::string& relativeFolder) {
  int current = ::fcntl(root, F_DUPFD_CLOEXEC, 0);
  std::size_t start = 0;
  while (current >= 0 && start < relativeFolder.size()) {
    const std::size_t end = relativeFolder.find('/', start);
    if (end == std::string::npos) {
      ::close(current);
      return -1;
    }
    const std::string segment = relativeFolder.substr(start, end - start);
    int next = -1;
    if (!segment.empty() && segment[0] != '.' && segment.find('\0') == std::string::npos) {
      next = ::openat(current, segment.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    ::close(current);
    current = next;
    start = end + 1;
  }
  return current;
}

bool plainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos && name.size() <= NAME_MAX;
}

// Puts back what the journal on disk names; the change lock is held.
void finishUnderLock(int libraryRoot);

}  // namespace

TrashChange::TrashChange(int libraryRoot) : root_(libraryRoot), lock_(lockChanges()) {
  if (lock_ >= 0) {
    finishUnderLock(root_);
  } else {
    lockError_ = errno;
  }
}

bool TrashChange::lockTimedOut() const { return lock_ < 0 && lockError_ == EWOULDBLOCK; }

TrashChange::~TrashChange() {
  if (lock_ >= 0) ::close(lock_);
}

ChangeResult TrashChange::moveAll(const std::vector<TrashItem>& items) {
  // The same file named twice moves once.
  std::vector<const TrashItem*> unique;
  {
    std::set<std::pair<std::pair<dev_t, ino_t>, std::string>> seen;
    for (const TrashItem& item : items) {
      struct stat folder {};
      if (::fstat(item.folder, &folder) != 0 ||
          seen.insert({{folder.st_dev, folder.st_ino}, item.name}).second) {
        unique.push_back(&item);
      }
    }
  }
  if (unique.empty()) return {true, std::nullopt};
  // Another bridge's change that does not end (stopped, or a lock held by
  // someone else) refuses this one. Without any lock (its folder cannot be
  // made), no journal can be written either, and the plan below fails.
  if (lock_ < 0 && lockError_ == EWOULDBLOCK) {
    return ChangeResult{false,
                        "Eine andere Änderung der Mediathek ist noch nicht beendet; nichts wurde "
                        "verschoben."};
  }
  const std::optional<std::string> rootPath = pathOfFolder(root_);

  for (int plan = 1;; ++plan) {
    // Where each file goes, decided before anything moves.
    TrashChooser chooser;
    std::map<int, std::optional<std::string>> folderPaths;
    std::vector<Move> moves;
    moves.reserve(unique.size());
    for (const TrashItem* item : unique) {
      int error = 0;
      TrashFolder* trash = plainName(item->name) ? chooser.forFolder(item->folder, error) : nullptr;
      if (!plainName(item->name)) error = ENOENT;
      if (trash == nullptr) return failure(item->name, error, 0);
      if (!trash->listed) {
        listNames(trash->files, "", trash->taken);
        listNames(trash->info, infoSuffix, trash->taken);
        trash->listed = true;
      }
      auto path = folderPaths.find(item->folder);
      if (path == folderPaths.end()) path = folderPaths.emplace(item->folder, pathOfFolder(item->folder)).first;
      std::optional<std::string> recorded;
      if (path->second) recorded = recordedPath(*path->second, item->name, *trash);
      if (!recorded) return failure(item->name, ENOENT, 0);
      const std::optional<base::FileIdentity> found = base::identityAt(item->folder, item->name.c_str());
      if (!found) return failure(item->name, ENOENT, 0);
      Move move{item, trash, {}, *recorded, item->expected.value_or(*found)};
      for (unsigned attempt = 1; attempt <= maxNameAttempts && move.trashName.empty(); ++attempt) {
        std::string name = trashName(item->name, attempt);
        if (trash->taken.insert(name).second) move.trashName = std::move(name);
      }
      if (move.trashName.empty()) return failure(item->name, EEXIST, 0);
      moves.push_back(std::move(move));
    }

    Journal journal;
    journal.root = rootPath.value_or("");
    for (TrashFolder* trash : chooser.all()) journal.trashes.push_back(trash->base);
    for (const Move& move : moves) {
      std::size_t trashIndex = 0;
      while (journal.trashes[trashIndex] != move.trash->base) ++trashIndex;
      journal.moves.push_back({trashIndex, move.item->relativeFolder, move.item->name,
                               move.trashName, beforeMove(move.identity)});
    }

    // From here on the change either completes or is put back as a whole,
    // even when the parent asks the bridge to stop.
    const base::TerminationHold hold;
    if (int error = writeJournal(journal); error != 0) {
      // Its folder may be a link or another user's: never written through.
      const bool notOwnFolder = error == ENOTDIR || error == ELOOP || error == EPERM;
      return ChangeResult{false, "Das Änderungsprotokoll konnte nicht angelegt werden: " +
                                     (notOwnFolder ? std::string("sein Ordner ist kein eigener Ordner")
                                                   : reasonText(error)) +
                                     "."};
    }
    // Done or put back: on disk before the journal goes. Files that could
    // not be put back keep the journal, for the next run to try again.
    const auto finish = [&](std::size_t stayed) {
      for (TrashFolder* trash : chooser.all()) {
        syncFolder(trash->files);
        syncFolder(trash->info);
      }
      for (const auto& [fd, path] : folderPaths) syncFolder(fd);
      if (stayed == 0) removeJournal();
    };

    // Every info file first: a name another program took since the plan
    // was made means a new plan.
    bool collided = false;
    for (Move& move : moves) {
      const int fd = ::openat(move.trash->info, (move.trashName + infoSuffix).c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd < 0) {
        const int error = errno;
        if (error == EEXIST && plan < maxPlanAttempts) {
          collided = true;
          break;
        }
        const std::size_t stayed = undo(moves);
        finish(stayed);
        return failure(move.item->name, error, stayed);
      }
      move.claimed = true;
      const bool written = base::writeAll(fd, infoContents(move.recorded));
      const int writeError = errno;
      if (::close(fd) != 0 || !written) {
        const std::size_t stayed = undo(moves);
        finish(stayed);
        return failure(move.item->name, written ? EIO : writeError, stayed);
      }
    }
    if (collided) {
      undo(moves);
      finish(0);
      continue;
    }
    // The info files reach the disk before any file moves.
    for (TrashFolder* trash : chooser.all()) ::syncfs(trash->info);

    // Right before the first move, every file is still the one that was
    // checked: replaced, rewritten or touched since, nothing moves.
    for (const Move& move : moves) {
      const std::optional<base::FileIdentity> now =
          base::identityAt(move.item->folder, move.item->name.c_str());
      if (!now || *now != move.identity) {
        const std::size_t stayed = undo(moves);
        finish(stayed);
        return ChangeResult{false, std::nullopt, true};
      }
    }

    for (Move& move : moves) {
      const int error = renameNoReplace(move.item->folder, move.item->name, move.trash->files,
                                        move.trashName);
      if (error == 0) {
        move.moved = true;
        continue;
      }
      const std::size_t stayed = undo(moves);
      finish(stayed);
      if (error == EEXIST && plan < maxPlanAttempts && stayed == 0) break;
      return failure(move.item->name, error, stayed);
    }
    if (std::all_of(moves.begin(), moves.end(), [](const Move& move) { return move.moved; })) {
      finish(0);
      return {true, std::nullopt};
    }
  }
}

void finishInterruptedChange(int libraryRoot) {
  // Without a journal there is nothing to wait for; with one, another
  // bridge's change may be running (its own journal) or stopped: the run
  // goes on after a moment, and a later run puts the files back.
  if (!journalExists()) return;
  const base::UniqueFd lock(lockChanges(false, replayLockWait));
  if (lock.valid()) finishUnderLock(libraryRoot);
}

namespace {

void finishUnderLock(int libraryRoot) {
  std::optional<Journal> journal = readJournal();
  if (!journal) return;
  const std::optional<std::string> rootPath = pathOfFolder(libraryRoot);
  if (journal->complete && rootPath && journal->root == *rootPath) {
    TrashChooser chooser;
    std::map<std::string, base::UniqueFd> folders;
    for (const JournalMove& entry : journal->moves) {
      if (!plainName(entry.name) || !plainName(entry.trashName) ||
          entry.trash >= journal->trashes.size()) {
        continue;
      }
      auto folder = folders.find(entry.relativeFolder);
      if (folder == folders.end()) {
        folder = folders.emplace(entry.relativeFolder,
                                 base::UniqueFd(openBelow(libraryRoot, entry.relativeFolder))).first;
      }
      if (!folder->second.valid()) continue;
      int error = 0;
      TrashFolder* trash = chooser.forFolder(folder->second.get(), error);
      // Only the trash a change would use for this folder now, and only an
      // entry whose info file says it came from this very place.
      if (trash == nullptr || trash->base != journal->trashes[entry.trash]) continue;
      const std::optional<std::string> folderPath = pathOfFolder(folder->second.get());
      if (!folderPath) continue;
      const std::optional<std::string> expected = recordedPath(*folderPath, entry.name, *trash);
      const Recorded recorded = recordedIn(*trash, entry.trashName);
      if (!expected || !recorded.exists) continue;
      // Only the very file this journal moved: one that the user restored,
      // replaced and trashed again under the same name is another file.
      const std::optional<base::FileIdentity> there = base::identityAt(trash->files, entry.trashName.c_str());
      if (there && beforeMove(*there) != entry.identity) continue;
      const bool inTrash = there.has_value();
      if (!recorded.path) {
        // Claimed and killed before it was written: it describes nothing.
        if (!inTrash) ::unlinkat(trash->info, (entry.trashName + infoSuffix).c_str(), 0);
        continue;
      }
      if (*expected != *recorded.path) continue;
      if (inTrash) {
        if (renameNoReplace(trash->files, entry.trashName, folder->second.get(), entry.name) != 0) {
          continue;  // something of that name is back in the library: both stay
        }
      }
      ::unlinkat(trash->info, (entry.trashName + infoSuffix).c_str(), 0);
    }
    for (TrashFolder* trash : chooser.all()) {
      syncFolder(trash->files);
      syncFolder(trash->info);
    }
    for (const auto& [path, fd] : folders) syncFolder(fd.get());
  }
  removeJournal();
}

}  // namespace

ChangeResult trashFiles(const std::vector<fs::path>& files) {
  const base::UniqueFd root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::vector<base::UniqueFd> folders;
  folders.reserve(files.size());
  std::vector<TrashItem> items;
  for (const fs::path& file : files) {
    const std::string name = file.filename().string();
    const fs::path parent = file.has_parent_path() ? file.parent_path() : fs::path(".");
    folders.emplace_back(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::optional<std::string> path =
        folders.back().valid() ? pathOfFolder(folders.back().get()) : std::nullopt;
    if (!path || !plainName(name)) {
      return failure(name.empty() ? file.string() : name, ENOENT, 0);
    }
    items.push_back(
        {folders.back().get(), *path == "/" ? "" : path->substr(1) + "/", name, std::nullopt});
  }
  if (items.empty()) return {true, std::nullopt};
  TrashChange change(root.get());
  return change.moveAll(items);
}

}  // namespace velmora::photos
