#pragma once
// What scans learned about each asset, kept between runs so that a scan
// reads, decodes and measures only the assets whose files changed. One
// SQLite file in a private folder, in WAL mode, so that several bridges can
// use it at once. Whatever goes wrong with it (missing, damaged, locked,
// read-only, full) makes it answer less, never differently: a scan with it
// gives the same lines and preview files as a scan without it.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>

#include "base/sqlite.h"
#include "bridge/emit.h"
#include "bridge/photos/library.h"

namespace velmora::inventory {

// What a record takes from an asset's files. The rest of it (id, asset_id,
// path, name, owner, video) every run works out anew.
struct AssetFindings {
  std::optional<std::string> fingerprint;
  std::uint64_t size = 0;
  photos::AssetAttributes attributes;
  bridge::Json preview = bridge::Json::object();  // the PreviewMetrics; empty without a preview
  std::optional<std::string> previewJpeg;         // the preview file's bytes
};

inline constexpr const char* scanCacheFileName = "scan-cache.sqlite";

class ScanCache {
 public:
  // The cache file in `folder` (folder and file made when missing, 0700 and
  // 0600), for records made under `stamp`. A file that is not a database or
  // is damaged is started afresh; symlinks in the file's or its journals'
  // places are removed, never followed. Null when it cannot be used (a
  // folder in the file's place, locked past the busy timeout, ...).
  static std::unique_ptr<ScanCache> open(const std::filesystem::path& folder,
                                         const std::string& stamp);
  ~ScanCache();
  ScanCache(const ScanCache&) = delete;
  ScanCache& operator=(const ScanCache&) = delete;

  // Each call is safe from any thread.

  // What was kept for the asset under this stamp while its files were in
  // `state`; none for anything else, a damaged entry included.
  std::optional<AssetFindings> find(const std::string& identifier, const std::string& state);

  // Keeps the findings for the asset in `state`, in place of what was kept
  // for it before. Findings without a fingerprint are not kept.
  void keep(const std::string& identifier, const std::string& state, const AssetFindings& findings);

  // Removes every entry that was neither found nor kept since the cache was
  // opened, so the cache holds no more than the library: called at the end
  // of a scan. Skipped when the cache failed on the way.
  void forgetTheRest();

 private:
  ScanCache(int folder, const std::string& stamp);
  int connect();
  void failed(int code);
  std::string validityOf(const std::string& state) const;

  int folder_;
  std::string stampDigest_;
  std::mutex mutex_;
  base::SqliteDatabase database_;  // declared before the statements, closed after them
  base::SqliteStatement find_;
  base::SqliteStatement keep_;
  bool reading_ = true;
  bool writing_ = true;
  bool damaged_ = false;  // the file goes when the cache closes
  std::unordered_set<std::string> touched_;
};

// The scan cache in `folder` under recordStamp(). None without a folder,
// when VELMORA_SCAN_CACHE is "off", or when it cannot be used.
std::unique_ptr<ScanCache> openScanCache(const std::optional<std::filesystem::path>& folder);

}  // namespace velmora::inventory
