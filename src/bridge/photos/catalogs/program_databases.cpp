#include "bridge/photos/catalogs/program_databases.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "base/regular_file.h"

namespace velmora::photos {

namespace {

constexpr int busyTimeoutMilliseconds = 200;
// A database with more favourites than this is no real one.
constexpr std::size_t maxFavouriteRows = 5'000'000;

std::string environmentOr(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  // Relative values are ignored, as the XDG base directory rules say.
  return value != nullptr && value[0] == '/' ? std::string(value) : fallback;
}

std::optional<std::string> canonical(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

// `path` relative to the pictures folder, when it lies inside it.
std::optional<std::string> insidePictures(const std::string& path,
                                          const std::vector<std::string>& pictureRoots) {
  for (const std::string& root : pictureRoots) {
    if (root.empty()) continue;
    const std::string prefix = root == "/" ? root : root + "/";
    if (path.size() > prefix.size() && path.starts_with(prefix)) {
      std::string relative = path.substr(prefix.size());
      // Lexical tricks name no file of the library.
      if (relative.starts_with("../") || relative.find("/../") != std::string::npos ||
          relative.find("//") != std::string::npos || relative.ends_with("/..")) {
        return std::nullopt;
      }
      return relative;
    }
  }
  return std::nullopt;
}

std::vector<std::string> pictureRootsOf(const CatalogPlaces& places) {
  std::string given = places.pictures;
  while (given.size() > 1 && given.back() == '/') given.pop_back();
  std::vector<std::string> roots{given};
  if (auto real = canonical(given); real && *real != given) roots.push_back(*real);
  return roots;
}

std::string uriPath(const std::string& path) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '-' || c == '_' || c == '.' || c == '~';
    if (plain) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

std::optional<off_t> sizeOf(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return std::nullopt;
  return status.st_size;
}

struct Connection {
  sqlite3* db = nullptr;
  ~Connection() { sqlite3_close_v2(db); }
};

int pastDeadline(void* deadline) {
  return std::chrono::steady_clock::now() >
                 *static_cast<std::chrono::steady_clock::time_point*>(deadline)
             ? 1
             : 0;
}

// Opens another program's database for reading only. Without data in a
// write-ahead log it is opened as immutable: SQLite then takes no locks and
// creates no file beside it. With one (the program runs, or ended without
// a checkpoint) it is opened read-only through the log and the shared
// memory file the program keeps; without that file, or with a rollback
// journal (a write under way or interrupted), it is not read.
DatabaseRead openForeign(const std::string& path, Connection& connection) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? DatabaseRead::missing : DatabaseRead::unreadable;
  }
  if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
      static_cast<std::uintmax_t>(status.st_size) > maxCatalogDatabaseBytes) {
    return DatabaseRead::unreadable;
  }
  if (sizeOf(path + "-journal").value_or(0) > 0) return DatabaseRead::unreadable;
  const bool logged = sizeOf(path + "-wal").value_or(0) > 0;
  if (logged && !sizeOf(path + "-shm")) return DatabaseRead::unreadable;
  const std::string uri = "file:" + uriPath(path) + (logged ? "?mode=ro" : "?immutable=1");
  if (sqlite3_open_v2(uri.c_str(), &connection.db,
                      SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    return DatabaseRead::unreadable;
  }
  sqlite3_busy_timeout(connection.db, busyTimeoutMilliseconds);
  return DatabaseRead::read;
}

// Runs `sql` and hands each row to `onRow`; false when the query fails
// (unknown schema, damage, lock, time limit) or returns too many rows.
template <typename OnRow>
bool queryRows(Connection& connection, const char* sql, OnRow onRow) {
  auto deadline = std::chrono::steady_clock::now() + catalogQueryTime;
  sqlite3_progress_handler(connection.db, 1000, pastDeadline, &deadline);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(connection.db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    return false;
  }
  std::size_t rows = 0;
  int code = SQLITE_ROW;
  while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
    if (++rows > maxFavouriteRows) break;
    onRow(statement);
  }
  sqlite3_finalize(statement);
  return code == SQLITE_DONE;
}

std::string textColumn(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  if (text == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
}

// ---- digiKam ---------------------------------------------------------------

struct DigikamSettings {
  std::optional<std::string> type;
  std::optional<std::string> folder;
};

// `[Database Settings]` of digikamrc, as KDE's configuration files write it.
DigikamSettings digikamSettings(const std::string& rcPath, const std::string& home) {
  DigikamSettings settings;
  std::string text;
  if (!base::readRegularFile(rcPath, text, std::uintmax_t{1} << 20)) return settings;
  std::istringstream in(text);
  std::string line;
  bool inSection = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with("[")) {
      inSection = line == "[Database Settings]";
      continue;
    }
    if (!inSection) continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    const bool expand = key.ends_with("[$e]");
    if (expand) key.resize(key.size() - 4);
    if (expand && value.starts_with("$HOME")) value = home + value.substr(5);
    if (key == "Database Type") settings.type = value;
    if (key == "Database Name") settings.folder = value;
  }
  return settings;
}

// Where the file system with this UUID is mounted: the device that
// /dev/disk/by-uuid names, found in this process's mount table by its
// number or (for btrfs, whose mounts show other numbers) by its name.
std::optional<std::string> mountPointOfUuid(const std::string& uuid) {
  if (uuid.empty() || uuid.find_first_not_of("0123456789abcdefABCDEF-") != std::string::npos) {
    return std::nullopt;
  }
  const std::string link = "/dev/disk/by-uuid/" + uuid;
  struct stat device {};
  if (::stat(link.c_str(), &device) != 0 || !S_ISBLK(device.st_mode)) return std::nullopt;
  const std::optional<std::string> deviceName = canonical(link);
  std::string table;
  if (!base::readRegularFile("/proc/self/mountinfo", table, std::uintmax_t{16} << 20)) {
    return std::nullopt;
  }
  const std::string number =
      std::to_string(major(device.st_rdev)) + ":" + std::to_string(minor(device.st_rdev));
  std::istringstream in(table);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, numbers, root, mountPoint;
    fields >> id >> parent >> numbers >> root >> mountPoint;
    std::string field, source;
    while (fields >> field && field != "-") {
    }
    std::string fileSystem;
    fields >> fileSystem >> source;
    if (root != "/") continue;
    if (numbers != number && (!deviceName || source != *deviceName)) continue;
    std::string unescaped;  // "\040" for a space
    for (std::size_t i = 0; i < mountPoint.size(); ++i) {
      if (mountPoint[i] == '\\' && i + 3 < mountPoint.size()) {
        unescaped.push_back(static_cast<char>(std::stoi(mountPoint.substr(i + 1, 3), nullptr, 8)));
        i += 3;
      } else {
        unescaped.push_back(mountPoint[i]);
      }
    }
    return unescaped;
  }
  return std::nullopt;
}

std::string queryParameter(const std::string& identifier, const std::string& key) {
  const std::size_t query = identifier.find('?');
  if (query == std::string::npos) return {};
  std::istringstream in(identifier.substr(query + 1));
  std::string pair;
  while (std::getline(in, pair, '&')) {
    if (pair.starts_with(key + "=")) return pair.substr(key.size() + 1);
  }
  return {};
}

// The folder an album root stands for, resolved: `volumeid:?uuid=…` is the
// mount point of that file system, `volumeid:?path=…` and
// `networkshareid:?mountpath=…` name it; `specificPath` lies below.
std::optional<std::string> albumRootFolder(const std::string& identifier,
                                           const std::string& specificPath) {
  std::string base;
  if (identifier.starts_with("volumeid:")) {
    if (const std::string path = queryParameter(identifier, "path"); !path.empty()) {
      base = path;
    } else if (auto mounted = mountPointOfUuid(queryParameter(identifier, "uuid"))) {
      base = *mounted;
    } else {
      return std::nullopt;
    }
  } else if (identifier.starts_with("networkshareid:")) {
    base = queryParameter(identifier, "mountpath");
  }
  if (base.empty() || base.front() != '/') return std::nullopt;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  const std::string folder = base == "/" ? specificPath : base + specificPath;
  return canonical(folder.empty() ? std::string("/") : folder);
}

constexpr const char* digikamFavourites = R"(
SELECT r.identifier, r.specificPath, a.relativePath, i.name
FROM Images AS i
JOIN Albums AS a ON a.id = i.album
JOIN AlbumRoots AS r ON r.id = a.albumRoot
WHERE i.status = 1 AND (
  EXISTS (SELECT 1 FROM ImageInformation AS f WHERE f.imageid = i.id AND f.rating >= 5)
  OR EXISTS (SELECT 1 FROM ImageTags AS t
             JOIN Tags AS g ON g.id = t.tagid
             JOIN Tags AS p ON p.id = g.pid
             WHERE t.imageid = i.id AND g.name = 'Pick Label Accepted'
               AND p.name = '_Digikam_Internal_Tags_'))
)";

// ---- Shotwell --------------------------------------------------------------

// Shotwell's flags: a photo's "flagged" mark is bit 0x10 (0x02 marked the
// favourites of old versions), a video's is 0x04.
constexpr const char* shotwellFavourites = R"(
SELECT filename FROM PhotoTable WHERE rating >= 5 OR (flags & 18) != 0
UNION ALL
SELECT filename FROM VideoTable WHERE rating >= 5 OR (flags & 4) != 0
)";

}  // namespace

CatalogPlaces catalogPlacesFromEnvironment(const std::string& pictures) {
  const char* homeValue = std::getenv("HOME");
  const std::string home = homeValue != nullptr ? homeValue : "";
  CatalogPlaces places;
  places.pictures = pictures;
  places.configHome = environmentOr("XDG_CONFIG_HOME", home.empty() ? "" : home + "/.config");
  places.dataHome = environmentOr("XDG_DATA_HOME", home.empty() ? "" : home + "/.local/share");
  return places;
}

DatabaseRead readDigikam(const CatalogPlaces& places, FavouriteIndex& index) {
  std::string databasePath = places.pictures + "/digikam4.db";
  if (!places.configHome.empty()) {
    const char* homeValue = std::getenv("HOME");
    const DigikamSettings settings =
        digikamSettings(places.configHome + "/digikamrc", homeValue != nullptr ? homeValue : "");
    // A server database (MySQL) cannot be read here.
    if (settings.type && *settings.type != "QSQLITE") {
      index.unreadable = true;
      return DatabaseRead::unreadable;
    }
    if (settings.folder && !settings.folder->empty()) {
      std::string folder = *settings.folder;
      while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
      databasePath = folder + "/digikam4.db";
    }
  }
  Connection connection;
  const DatabaseRead opened = openForeign(databasePath, connection);
  if (opened != DatabaseRead::read) {
    if (opened == DatabaseRead::unreadable) index.unreadable = true;
    return opened;
  }
  const std::vector<std::string> pictureRoots = pictureRootsOf(places);
  std::map<std::pair<std::string, std::string>, std::optional<std::string>> roots;
  std::set<std::string, std::less<>> found;
  const bool ok = queryRows(connection, digikamFavourites, [&](sqlite3_stmt* row) {
    const std::string identifier = textColumn(row, 0);
    const std::string specificPath = textColumn(row, 1);
    const std::string relativePath = textColumn(row, 2);
    const std::string name = textColumn(row, 3);
    if (name.empty() || name.find('/') != std::string::npos || !relativePath.starts_with("/")) {
      return;
    }
    auto root = roots.find({identifier, specificPath});
    if (root == roots.end()) {
      root = roots
                 .emplace(std::pair{identifier, specificPath},
                          albumRootFolder(identifier, specificPath))
                 .first;
    }
    if (!root->second) return;
    std::string path = *root->second == "/" ? "" : *root->second;
    path += relativePath == "/" ? "/" : relativePath + "/";
    path += name;
    if (auto relative = insidePictures(path, pictureRoots)) found.insert(std::move(*relative));
  });
  if (!ok) {
    index.unreadable = true;
    return DatabaseRead::unreadable;
  }
  index.favourites.merge(found);
  return DatabaseRead::read;
}

DatabaseRead readShotwell(const CatalogPlaces& places, FavouriteIndex& index) {
  if (places.dataHome.empty()) return DatabaseRead::missing;
  Connection connection;
  const DatabaseRead opened = openForeign(places.dataHome + "/shotwell/data/photo.db", connection);
  if (opened != DatabaseRead::read) {
    if (opened == DatabaseRead::unreadable) index.unreadable = true;
    return opened;
  }
  const std::vector<std::string> pictureRoots = pictureRootsOf(places);
  std::set<std::string, std::less<>> found;
  const bool ok = queryRows(connection, shotwellFavourites, [&](sqlite3_stmt* row) {
    // Files outside the pictures folder are none of the library's.
    if (auto relative = insidePictures(textColumn(row, 0), pictureRoots)) {
      found.insert(std::move(*relative));
    }
  });
  if (!ok) {
    index.unreadable = true;
    return DatabaseRead::unreadable;
  }
  index.favourites.merge(found);
  return DatabaseRead::read;
}

FavouriteIndex readProgramDatabases(const CatalogPlaces& places) {
  FavouriteIndex index;
  readDigikam(places, index);
  readShotwell(places, index);
  return index;
}

}  // namespace velmora::photos
