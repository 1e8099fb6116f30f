#pragma once
// Favourites that photo organisers keep in their own SQLite databases:
// digiKam (`digikam4.db`) and Shotwell (`photo.db`). The databases are only
// read: opened read-only without journal, WAL or shared-memory files
// appearing beside them, with a short busy timeout and a time limit, each
// with one query, once per run.
#include <chrono>
#include <cstdint>
#include <set>
#include <string>

namespace velmora::photos {

// Where to look, from the environment of the run.
struct CatalogPlaces {
  std::string pictures;    // the pictures folder, as the library names it
  std::string configHome;  // $XDG_CONFIG_HOME, else ~/.config
  std::string dataHome;    // $XDG_DATA_HOME, else ~/.local/share
};

CatalogPlaces catalogPlacesFromEnvironment(const std::string& pictures);

// Databases larger than this are not read.
inline constexpr std::uintmax_t maxCatalogDatabaseBytes = std::uintmax_t{1} << 30;
// The most one database's query may take.
inline constexpr std::chrono::milliseconds catalogQueryTime{5000};

struct FavouriteIndex {
  // The favourites' paths relative to the pictures folder ("2024/a.jpg").
  std::set<std::string, std::less<>> favourites;
  // A database exists but could not be read (not the user's own regular
  // file, too large, of a schema not known, damaged, locked past the busy
  // timeout, or its query took too long): whether any photo is a favourite
  // there is not known.
  bool unreadable = false;
};

enum class DatabaseRead { missing, unreadable, read };

// digiKam's database: the folder `Database Name` of `[Database Settings]` in
// `digikamrc` when `Database Type` is QSQLITE, else `digikam4.db` at the top
// of the pictures folder. Images it shows (not removed) with a rating of 5
// or an accepted pick label are favourites.
DatabaseRead readDigikam(const CatalogPlaces& places, FavouriteIndex& index);

// Shotwell's `photo.db`: photos and videos rated 5 or flagged.
DatabaseRead readShotwell(const CatalogPlaces& places, FavouriteIndex& index);

// Both of the above.
FavouriteIndex readProgramDatabases(const CatalogPlaces& places);

}  // namespace velmora::photos
