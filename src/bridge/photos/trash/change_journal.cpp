#include "bridge/photos/trash/change_journal.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <cstdlib>

#include "base/file_identity.h"
#include "base/private_folder.h"
#include "base/regular_file.h"
#include "base/write_all.h"

namespace velmora::photos {

namespace fs = std::filesystem;

namespace {

// Version 2 names each moved file's identity; a journal of version 1 named
// only places, and is no journal of ours any more.
constexpr const char* header = "velmora-bridge change journal 2";
constexpr const char* journalName = "change.journal";
// Far beyond the journal of any real change (a million files take about
// 100 MB).
constexpr off_t maxJournalBytes = off_t{1} << 30;

std::optional<fs::path> homeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') return fs::path(home);
  if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return fs::path(entry->pw_dir);
  }
  return std::nullopt;
}

// Our folder, open: a real folder of our own, not a symlink, and narrowed to
// 0700, so that no other user can take the lock or lay a journal. -1 when it
// is missing (and not to be made) or anything else.
int openOwnFolder(bool create) {
  const std::optional<fs::path> folder = base::bridgeDataFolder();
  if (!folder) return -1;
  return base::openPrivateFolder(*folder, create);
}

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

int hexValue(char c) {
  return c <= '9' ? c - '0' : (c >= 'a' ? c - 'a' + 10 : c - 'A' + 10);
}

// Every byte that could split a line or a field, and '%' itself, as %XX.
std::string escaped(std::string_view text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || byte == '%') {
      out.push_back('%');
      out.push_back(digits[byte >> 4]);
      out.push_back(digits[byte & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  while (!line.empty()) {
    const std::size_t space = line.find(' ');
    out.push_back(line.substr(0, space));
    if (space == std::string_view::npos) break;
    line.remove_prefix(space + 1);
  }
  return out;
}

}  // namespace

std::optional<fs::path> dataHome() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
    return fs::path(data);
  }
  if (std::optional<fs::path> home = homeFolder()) return *home / ".local" / "share";
  return std::nullopt;
}

std::string percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
      out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

int lockChanges(bool create, std::chrono::milliseconds wait) {
  const base::UniqueFd folder(openOwnFolder(create));
  if (!folder.valid()) return -1;
  int fd = ::openat(folder.get(), "lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  struct stat info {};
  const bool foreign = fd >= 0 ? ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
                                     info.st_uid != ::getuid()
                               : errno == ELOOP;
  if (foreign) {
    // Laid there while the folder was open to others (another user's file,
    // a symlink): whoever holds it could keep every change waiting. A lock
    // file of our own replaces it.
    if (fd >= 0) ::close(fd);
    ::unlinkat(folder.get(), "lock", 0);
    fd = ::openat(folder.get(), "lock", O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  }
  if (fd < 0) return -1;
  // Polled rather than waited on: a holder that is stopped (or another
  // user's) must not keep this run waiting for ever.
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if ((error != EWOULDBLOCK && error != EINTR) || std::chrono::steady_clock::now() >= deadline) {
      ::close(fd);
      errno = error == EINTR ? EWOULDBLOCK : error;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return fd;
}

bool journalExists() {
  const base::UniqueFd folder(openOwnFolder(false));
  struct stat info {};
  return folder.valid() && ::fstatat(folder.get(), journalName, &info, AT_SYMLINK_NOFOLLOW) == 0;
}

int writeJournal(const Journal& journal) {
  const base::UniqueFd folder(openOwnFolder(true));
  if (!folder.valid()) return errno != 0 ? errno : EACCES;
  std::string text = std::string(header) + "\nroot " + escaped(journal.root) + "\n";
  for (const std::string& trash : journal.trashes) text += "trash " + escaped(trash) + "\n";
  for (const JournalMove& move : journal.moves) {
    text += "move " + std::to_string(move.trash) + " " + escaped(move.relativeFolder) + " " +
            escaped(move.name) + " " + escaped(move.trashName) + " " +
            base::identityText(move.identity) + "\n";
  }
  text += "end\n";
  const int fd = ::openat(folder.get(), journalName,
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  const bool written = base::writeAll(fd, text) && ::fdatasync(fd) == 0;
  const int error = errno;
  ::close(fd);
  if (!written) {
    ::unlinkat(folder.get(), journalName, 0);
    return error != 0 ? error : EIO;
  }
  ::fsync(folder.get());
  return 0;
}

std::optional<Journal> readJournal() {
  const base::UniqueFd folder(openOwnFolder(false));
  if (!folder.valid()) return std::nullopt;
  const base::UniqueFd fd(
      ::openat(folder.get(), journalName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) {
    // Something that is no file of ours in its place is no journal either.
    if (errno == ELOOP || errno == ENXIO) return Journal{};
    return std::nullopt;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return std::nullopt;
  if (!S_ISREG(info.st_mode) || info.st_uid != ::getuid() || info.st_size > maxJournalBytes) {
    return Journal{};
  }
  std::string text;
  text.resize(static_cast<std::size_t>(info.st_size));
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t got = ::pread(fd.get(), text.data() + done, text.size() - done,
                                static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  text.resize(done);

  Journal journal;
  std::string_view rest(text);
  bool first = true;
  while (!rest.empty()) {
    const std::size_t newline = rest.find('\n');
    if (newline == std::string_view::npos) break;  // a last line cut short
    const std::string_view line = rest.substr(0, newline);
    rest.remove_prefix(newline + 1);
    if (first) {
      if (line != header) return Journal{};
      first = false;
      continue;
    }
    if (journal.complete) return Journal{};  // nothing may follow the end
    const std::vector<std::string_view> parts = fields(line);
    if (parts.size() == 1 && parts[0] == "end") {
      journal.complete = true;
    } else if (parts.size() == 2 && parts[0] == "root") {
      journal.root = percentDecoded(parts[1]);
    } else if (parts.size() == 2 && parts[0] == "trash") {
      journal.trashes.push_back(percentDecoded(parts[1]));
    } else if (parts.size() == 10 && parts[0] == "move") {
      JournalMove move;
      const std::string index(parts[1]);
      if (index.empty() || index.size() > 9 ||
          index.find_first_not_of("0123456789") != std::string::npos) {
        return Journal{};
      }
      move.trash = std::stoul(index);
      // An empty folder is written as nothing between two spaces.
      move.relativeFolder = percentDecoded(parts[2]);
      move.name = percentDecoded(parts[3]);
      move.trashName = percentDecoded(parts[4]);
      // The last five fields, as one text.
      const char* from = parts[5].data();
      const std::optional<base::FileIdentity> identity = base::identityFromText(std::string_view(
          from, static_cast<std::size_t>(parts[9].data() + parts[9].size() - from)));
      if (!identity) return Journal{};
      move.identity = *identity;
      journal.moves.push_back(std::move(move));
    } else {
      return Journal{};
    }
  }
  return journal;
}

void removeJournal() {
  const base::UniqueFd folder(openOwnFolder(false));
  if (!folder.valid()) return;
  if (::unlinkat(folder.get(), journalName, 0) == 0) ::fsync(folder.get());
}

}  // namespace velmora::photos
