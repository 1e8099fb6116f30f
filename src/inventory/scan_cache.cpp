#include "inventory/scan_cache.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "base/private_folder.h"
#include "base/regular_file.h"
#include "bridge/photos/media/capture_date.h"
#include "inventory/record_stamp.h"

namespace velmora::inventory {

namespace {

constexpr std::chrono::milliseconds busyTimeout{2000};

// The journals SQLite keeps beside the file.
constexpr const char* companionSuffixes[] = {"-wal", "-shm", "-journal"};

constexpr const char* schema =
    "CREATE TABLE IF NOT EXISTS asset_entry ("
    " asset_id TEXT PRIMARY KEY NOT NULL,"
    " validity BLOB NOT NULL,"   // SHA-256 over the record stamp and the files' state
    " findings BLOB NOT NULL,"   // what the record takes from the files, preview bytes too
    " checksum BLOB NOT NULL)";  // SHA-256 over the three: a damaged entry is a miss

int primary(int code) { return code & 0xff; }

bool isDamage(int code) {
  return primary(code) == SQLITE_CORRUPT || primary(code) == SQLITE_NOTADB;
}

std::string sha256(std::initializer_list<std::string_view> parts) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
  for (const std::string_view part : parts) {
    const std::uint64_t size = part.size();  // so that no two splits hash alike
    ok = ok && EVP_DigestUpdate(context, &size, sizeof size) == 1 &&
         EVP_DigestUpdate(context, part.data(), part.size()) == 1;
  }
  ok = ok && EVP_DigestFinal_ex(context, digest.data(), &length) == 1;
  EVP_MD_CTX_free(context);
  // Empty without a digest; nothing is looked up or kept under that.
  return ok ? std::string(reinterpret_cast<const char*>(digest.data()), length) : std::string();
}

// Findings as bytes, in this machine's byte order (the cache never leaves it).
class Writer {
 public:
  void byte(bool value) { out_.push_back(value ? 1 : 0); }
  void number(std::uint64_t value) {
    out_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  void real(double value) { number(std::bit_cast<std::uint64_t>(value)); }
  void text(std::string_view value) {
    number(value.size());
    out_.append(value);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}
  bool byte() {
    if (in_.empty() || static_cast<unsigned char>(in_.front()) > 1) return fail(), false;
    const bool value = in_.front() == 1;
    in_.remove_prefix(1);
    return value;
  }
  std::uint64_t number() {
    std::uint64_t value = 0;
    if (in_.size() < sizeof value) return fail(), 0;
    std::memcpy(&value, in_.data(), sizeof value);
    in_.remove_prefix(sizeof value);
    return value;
  }
  double real() { return std::bit_cast<double>(number()); }
  std::string text() {
    const std::uint64_t length = number();
    if (length > in_.size()) return fail(), std::string();
    std::string value(in_.substr(0, length));
    in_.remove_prefix(length);
    return value;
  }
  bool whole() const { return ok_ && in_.empty(); }

 private:
  void fail() {
    ok_ = false;
    in_ = {};
  }
  std::string_view in_;
  bool ok_ = true;
};

std::optional<std::string> encode(const AssetFindings& findings) {
  if (!findings.fingerprint) return std::nullopt;
  Writer out;
  out.text(*findings.fingerprint);
  out.number(findings.size);
  const photos::AssetAttributes& attributes = findings.attributes;
  out.number(attributes.mediaSubtypes);
  out.number(attributes.pixelWidth);
  out.number(attributes.pixelHeight);
  out.byte(attributes.isFavorite);
  out.byte(attributes.creationDate.has_value());
  out.real(attributes.creationDate.value_or(0.0));
  // A date without a zone is kept as written and read in the zone of the
  // scan that finds it, as a scan without the cache would read it.
  const std::optional<photos::WallClock>& written = attributes.creationWallClock;
  out.byte(written.has_value());
  out.number(std::bit_cast<std::uint64_t>(written ? written->seconds : std::int64_t{0}));
  out.real(written ? written->fraction : 0.0);
  const bridge::Json& preview = findings.preview;
  out.byte(!preview.empty());
  if (!preview.empty()) {
    // Exactly the five keys thumbnail() gives, in their types; anything else
    // could not be given back as it was.
    const auto is = [&](const char* key, bridge::Json::value_t type) {
      return preview.contains(key) && preview[key].type() == type;
    };
    if (preview.size() != 5 || !is("qr", bridge::Json::value_t::boolean) ||
        !is("qr_checked", bridge::Json::value_t::boolean) ||
        !is("dhash_string", bridge::Json::value_t::string) ||
        !is("sharpness", bridge::Json::value_t::number_float) ||
        !is("variance", bridge::Json::value_t::number_float)) {
      return std::nullopt;
    }
    out.byte(preview["qr"].get<bool>());
    out.byte(preview["qr_checked"].get<bool>());
    out.text(preview["dhash_string"].get_ref<const std::string&>());
    out.real(preview["sharpness"].get<double>());
    out.real(preview["variance"].get<double>());
  }
  out.byte(findings.previewJpeg.has_value());
  out.text(findings.previewJpeg.value_or(std::string()));
  return out.take();
}

std::optional<AssetFindings> decode(std::string_view bytes) {
  Reader in(bytes);
  AssetFindings findings;
  findings.fingerprint = in.text();
  findings.size = in.number();
  photos::AssetAttributes& attributes = findings.attributes;
  attributes.mediaSubtypes = static_cast<unsigned>(in.number());
  attributes.pixelWidth = in.number();
  attributes.pixelHeight = in.number();
  attributes.isFavorite = in.byte();
  const bool dated = in.byte();
  const double created = in.real();
  if (dated) attributes.creationDate = created;
  const bool asWritten = in.byte();
  const auto seconds = std::bit_cast<std::int64_t>(in.number());
  const double fraction = in.real();
  if (asWritten) {
    if (!dated) return std::nullopt;
    attributes.creationWallClock = photos::WallClock{seconds, fraction};
    attributes.creationDate = photos::instantOf(*attributes.creationWallClock);
  }
  if (in.byte()) {
    findings.preview["qr"] = in.byte();
    findings.preview["qr_checked"] = in.byte();
    findings.preview["dhash_string"] = in.text();
    findings.preview["sharpness"] = in.real();
    findings.preview["variance"] = in.real();
  }
  const bool hasJpeg = in.byte();
  std::string jpeg = in.text();
  if (hasJpeg) findings.previewJpeg = std::move(jpeg);
  if (!in.whole()) return std::nullopt;
  return findings;
}

// The number a PRAGMA answers; -1 when it answers none.
std::int64_t pragmaNumber(base::SqliteDatabase& database, const char* pragma) {
  base::SqliteStatement statement = database.prepare(pragma);
  if (!statement.valid() || statement.step() != SQLITE_ROW) return -1;
  return statement.integer(0);
}

std::string fileName(const char* suffix = "") { return std::string(scanCacheFileName) + suffix; }

// Symlinks where the file or its journals belong are taken away (unlinking
// a link never touches its target); anything else that is not this user's
// regular file leaves the cache unusable. Modes wider than 0600 narrow.
bool clearThePlace(int folder) {
  std::vector<std::string> names{fileName()};
  for (const char* suffix : companionSuffixes) names.push_back(fileName(suffix));
  for (const std::string& name : names) {
    struct stat status {};
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      return false;
    }
    if (S_ISLNK(status.st_mode)) {
      if (::unlinkat(folder, name.c_str(), 0) != 0) return false;
      continue;
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) return false;
    if ((status.st_mode & 077) != 0) {
      const base::UniqueFd file(
          ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
      if (!file.valid() || ::fchmod(file.get(), status.st_mode & 0700) != 0) return false;
    }
  }
  // Made here, not by SQLite, for its mode: the journals take the file's.
  const int made = ::openat(folder, fileName().c_str(),
                            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (made >= 0) ::close(made);
  return made >= 0 || errno == EEXIST;
}

void removeFiles(int folder) {
  ::unlinkat(folder, fileName().c_str(), 0);
  for (const char* suffix : companionSuffixes) ::unlinkat(folder, fileName(suffix).c_str(), 0);
}

}  // namespace

ScanCache::ScanCache(int folder, const std::string& stamp)
    : folder_(folder), stampDigest_(sha256({stamp})) {}

ScanCache::~ScanCache() {
  find_ = {};
  keep_ = {};
  database_.close();
  if (damaged_) removeFiles(folder_);
  ::close(folder_);
}

std::unique_ptr<ScanCache> ScanCache::open(const std::filesystem::path& folder,
                                           const std::string& stamp) {
  const int fd = base::openPrivateFolder(folder);
  if (fd < 0) return nullptr;
  std::unique_ptr<ScanCache> cache(new ScanCache(fd, stamp));
  int code = cache->connect();
  if (isDamage(code)) {
    // Garbage, or a file cut short: what it held is lost either way.
    cache->find_ = {};
    cache->keep_ = {};
    cache->database_.close();
    removeFiles(fd);
    code = cache->connect();
  }
  if (code != SQLITE_OK) return nullptr;
  return cache;
}

int ScanCache::connect() {
  if (!clearThePlace(folder_)) return SQLITE_CANTOPEN;
  // SQLite is given the folder's real path: it refuses symlinks anywhere in
  // a path, and the user's cache folder may lie behind one.
  std::error_code error;
  const std::filesystem::path real =
      std::filesystem::read_symlink(base::descriptorPath(folder_), error);
  if (error) return SQLITE_CANTOPEN;
  int code = database_.open((real / fileName()).string());
  if (code != SQLITE_OK) return code;
  database_.setBusyTimeout(busyTimeout);
  // Pages freed when entries go are handed back to the file system
  // (forgetTheRest): set before the file's first table. A file made
  // without it comes from an earlier build, whose entries no stamp of
  // this one matches: they go, and the then small file is rewritten once.
  if (pragmaNumber(database_, "PRAGMA auto_vacuum") != 2) {
    database_.execute("PRAGMA auto_vacuum=INCREMENTAL");
    if (pragmaNumber(database_, "PRAGMA page_count") > 0 &&
        database_.execute("DROP TABLE IF EXISTS asset_entry") == SQLITE_OK) {
      database_.execute("VACUUM");
    }
  }

  base::SqliteStatement journal = database_.prepare("PRAGMA journal_mode=WAL", &code);
  if (!journal.valid()) return code;
  code = journal.step();
  if (code != SQLITE_ROW) return code;
  if (journal.blob(0) != "wal") return SQLITE_CANTOPEN;
  journal = {};
  if ((code = database_.execute("PRAGMA synchronous=NORMAL")) != SQLITE_OK) return code;
  if ((code = database_.execute(schema)) != SQLITE_OK) return code;

  const auto prepare = [&] {
    find_ = database_.prepare(
        "SELECT validity, findings, checksum FROM asset_entry WHERE asset_id = ?1", &code);
    if (find_.valid()) {
      keep_ = database_.prepare(
          "INSERT OR REPLACE INTO asset_entry (asset_id, validity, findings, checksum) "
          "VALUES (?1, ?2, ?3, ?4)",
          &code);
    }
    return keep_.valid();
  };
  if (!prepare() && primary(code) == SQLITE_ERROR) {
    // A table of another shape, from another build: made again.
    if ((code = database_.execute("DROP TABLE IF EXISTS asset_entry")) != SQLITE_OK ||
        (code = database_.execute(schema)) != SQLITE_OK) {
      return code;
    }
    prepare();
  }
  return code;
}

std::string ScanCache::validityOf(const std::string& state) const {
  return sha256({stampDigest_, state});
}

void ScanCache::failed(int code) {
  // Locked past the timeout, damaged, unreadable: no more waiting on it, no
  // more answers from it in this run.
  reading_ = false;
  writing_ = false;
  if (isDamage(code)) damaged_ = true;
}

std::optional<AssetFindings> ScanCache::find(const std::string& identifier,
                                             const std::string& state) {
  const std::string validity = validityOf(state);
  const std::lock_guard lock(mutex_);
  if (!reading_ || validity.empty()) return std::nullopt;
  std::optional<AssetFindings> found;
  find_.bindText(1, identifier);
  const int code = find_.step();
  if (code == SQLITE_ROW) {
    if (find_.blob(0) == validity &&
        find_.blob(2) == sha256({identifier, find_.blob(0), find_.blob(1)})) {
      found = decode(find_.blob(1));
    }
  } else if (code != SQLITE_DONE) {
    failed(code);
  }
  find_.reset();
  if (found) touched_.insert(identifier);
  return found;
}

void ScanCache::keep(const std::string& identifier, const std::string& state,
                     const AssetFindings& findings) {
  const std::optional<std::string> bytes = encode(findings);
  if (!bytes) return;
  const std::string validity = validityOf(state);
  const std::string checksum = sha256({identifier, validity, *bytes});
  const std::lock_guard lock(mutex_);
  if (!writing_ || validity.empty() || checksum.empty()) return;
  keep_.bindText(1, identifier).bindBlob(2, validity).bindBlob(3, *bytes).bindBlob(4, checksum);
  const int code = keep_.step();
  keep_.reset();
  if (code == SQLITE_DONE) {
    touched_.insert(identifier);
  } else if (isDamage(code) || primary(code) == SQLITE_BUSY) {
    failed(code);
  } else {
    // Full, read-only, out of room: what is there can still be read.
    writing_ = false;
  }
}

void ScanCache::forgetTheRest() {
  const std::lock_guard lock(mutex_);
  if (!reading_ || !writing_) return;
  std::vector<std::string> stale;
  {
    base::SqliteStatement all = database_.prepare("SELECT asset_id FROM asset_entry");
    int code = SQLITE_ROW;
    while (all.valid() && (code = all.step()) == SQLITE_ROW) {
      std::string identifier(all.blob(0));
      if (!touched_.contains(identifier)) stale.push_back(std::move(identifier));
    }
    if (!all.valid() || code != SQLITE_DONE) return;
  }
  if (stale.empty()) return;
  base::SqliteStatement remove = database_.prepare("DELETE FROM asset_entry WHERE asset_id = ?1");
  if (!remove.valid() || database_.execute("BEGIN IMMEDIATE") != SQLITE_OK) return;
  for (const std::string& identifier : stale) {
    remove.bindText(1, identifier);
    const int code = remove.step();
    remove.reset();
    if (code != SQLITE_DONE) {
      database_.execute("ROLLBACK");
      return;
    }
  }
  if (database_.execute("COMMIT") != SQLITE_OK) {
    database_.execute("ROLLBACK");
    return;
  }
  // A library that shrank leaves most pages free. Once they are more than a
  // quarter of the file they go back to the file system; that moves at
  // most as many pages as there are free ones, and happens only after
  // entries went.
  const std::int64_t freePages = pragmaNumber(database_, "PRAGMA freelist_count");
  const std::int64_t pages = pragmaNumber(database_, "PRAGMA page_count");
  if (freePages > 0 && pages > 0 && freePages * 4 > pages) {
    database_.execute("PRAGMA incremental_vacuum");
  }
}

std::unique_ptr<ScanCache> openScanCache(const std::optional<std::filesystem::path>& folder) {
  if (!folder) return nullptr;
  if (const char* setting = std::getenv("VELMORA_SCAN_CACHE");
      setting != nullptr && std::string_view(setting) == "off") {
    return nullptr;
  }
  return ScanCache::open(*folder, recordStamp());
}

}  // namespace velmora::inventory
