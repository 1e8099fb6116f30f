// What other programs' databases cost a warm scan.
//
//   catalog_scan_bench [assets] [--keep]
//
// Builds a library of `assets` small JPEGs (default 20,000; hard links to a
// few encoded ones) and, beside it, a digiKam database that knows every one
// of them (every tenth rated five stars) and a Shotwell database of the same
// size. The built bridge then scans it three times, each a process of its
// own in the same home: a first scan that fills the cache, a warm scan, and
// a warm scan after one rating changed in digiKam (which the scan must
// show). It prints seconds and assets per second of each, the favourites
// each found, and whether the last scan saw the change.
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bridge/photos/catalogs/program_databases.h"
#include "kit/bench_kit.h"

namespace fs = std::filesystem;

namespace {

bool execute(const fs::path& database, const std::string& sql) {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open(database.c_str(), &db) == SQLITE_OK &&
            sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

struct Scan {
  double seconds = 0;
  int status = -1;
  std::size_t items = 0;
  std::size_t favourites = 0;
  bool changedSeen = false;
};

Scan scan(const fs::path& home, const fs::path& previews, const std::string& changedId) {
  fs::remove_all(previews);
  fs::create_directories(previews);
  const fs::path out = home / "scan.out";
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    const std::string homeVariable = "HOME=" + home.string();
    const char* environment[] = {homeVariable.c_str(), "PATH=/usr/bin:/bin", "LANG=C.UTF-8",
                                 nullptr};
    std::freopen(out.c_str(), "w", stdout);
    ::execle(VELMORA_BRIDGE_EXE, VELMORA_BRIDGE_EXE, "scan", previews.c_str(), nullptr,
             environment);
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  Scan result;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::FILE* file = std::fopen(out.c_str(), "r");
  std::string last, line;
  for (int c; file != nullptr && (c = std::fgetc(file)) != EOF;) {
    if (c == '\n') {
      last.swap(line);
      line.clear();
    } else {
      line.push_back(static_cast<char>(c));
    }
  }
  if (file != nullptr) std::fclose(file);
  const nlohmann::json result_line = nlohmann::json::parse(last, nullptr, false);
  if (result_line.is_object() && result_line.contains("items")) {
    for (const auto& item : result_line["items"]) {
      ++result.items;
      if (item["favorite"] == true) {
        ++result.favourites;
        if (item["asset_id"] == changedId) result.changedSeen = true;
      }
    }
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  int total = 20000;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--keep") {
      keep = true;
    } else {
      total = std::atoi(argv[i]);
    }
  }
  char pattern[] = "/tmp/catalog_scan_bench.XXXXXX";
  const fs::path root = ::mkdtemp(pattern);
  const fs::path home = root / "home";
  const fs::path pictures = home / "Pictures";
  fs::create_directories(pictures / "DCIM");

  std::vector<fs::path> originals;
  for (int i = 0; i < 8; ++i) {
    const fs::path file = root / ("original" + std::to_string(i) + ".jpg");
    const std::string command =
        "ffmpeg -nostdin -v quiet -f lavfi -i testsrc2=size=320x240 -frames:v 1 -vf hue=h=" +
        std::to_string(i * 40) + " '" + file.string() + "'";
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "catalog_scan_bench: ffmpeg failed\n");
      return 1;
    }
    originals.push_back(file);
  }

  std::string digikam =
      "CREATE TABLE AlbumRoots (id INTEGER PRIMARY KEY, label TEXT, status INTEGER NOT NULL,"
      " type INTEGER NOT NULL, identifier TEXT, specificPath TEXT, UNIQUE(identifier, "
      "specificPath));"
      "CREATE TABLE Albums (id INTEGER PRIMARY KEY, albumRoot INTEGER NOT NULL, relativePath TEXT"
      " NOT NULL, date DATE, caption TEXT, collection TEXT, icon INTEGER, UNIQUE(albumRoot, "
      "relativePath));"
      "CREATE TABLE Images (id INTEGER PRIMARY KEY, album INTEGER, name TEXT NOT NULL, status"
      " INTEGER NOT NULL, category INTEGER NOT NULL, modificationDate DATETIME, fileSize INTEGER,"
      " uniqueHash TEXT, UNIQUE (album, name));"
      "CREATE TABLE ImageInformation (imageid INTEGER PRIMARY KEY, rating INTEGER, creationDate"
      " DATETIME);"
      "CREATE TABLE Tags (id INTEGER PRIMARY KEY, pid INTEGER, name TEXT NOT NULL, icon INTEGER,"
      " iconkde TEXT, UNIQUE (name, pid));"
      "CREATE TABLE ImageTags (imageid INTEGER NOT NULL, tagid INTEGER NOT NULL, UNIQUE (imageid, "
      "tagid));"
      "INSERT INTO Tags VALUES (1, 0, '_Digikam_Internal_Tags_', NULL, NULL),"
      " (19, 1, 'Pick Label Accepted', NULL, NULL);"
      "INSERT INTO AlbumRoots VALUES (1, 'Bilder', 0, 1, 'volumeid:?path=" +
      pictures.string() +
      "', '/');INSERT INTO Albums VALUES (1, 1, '/DCIM', NULL, NULL, NULL, NULL);"
      "BEGIN;";
  std::string shotwell =
      "CREATE TABLE PhotoTable (id INTEGER PRIMARY KEY, filename TEXT UNIQUE NOT NULL,"
      " flags INTEGER DEFAULT 0, rating INTEGER DEFAULT 0);"
      "CREATE TABLE VideoTable (id INTEGER PRIMARY KEY, filename TEXT UNIQUE NOT NULL,"
      " flags INTEGER DEFAULT 0, rating INTEGER DEFAULT 0);BEGIN;";
  for (int i = 0; i < total; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%05d.JPG", i);
    fs::create_hard_link(originals[static_cast<std::size_t>(i) % originals.size()],
                         pictures / "DCIM" / name);
    const std::string id = std::to_string(i + 1);
    digikam += "INSERT INTO Images VALUES (" + id + ", 1, '" + name + "', 1, 1, NULL, NULL, NULL);";
    digikam += "INSERT INTO ImageInformation VALUES (" + id + ", " + (i % 10 == 0 ? "5" : "2") +
               ", NULL);";
    shotwell += "INSERT INTO PhotoTable (filename, rating) VALUES ('" +
                (pictures / "DCIM" / name).string() + "', 3);";
  }
  digikam += "COMMIT;";
  shotwell += "COMMIT;";
  const fs::path digikamDb = pictures / "digikam4.db";
  const fs::path shotwellDb = home / ".local/share/shotwell/data/photo.db";
  fs::create_directories(shotwellDb.parent_path());
  if (!execute(digikamDb, digikam) || !execute(shotwellDb, shotwell)) {
    std::fprintf(stderr, "catalog_scan_bench: could not write the databases\n");
    return 1;
  }
  ::sleep(3);  // old enough for the cache to keep every asset

  const fs::path previews = root / "previews";
  const std::string changed = "DCIM/IMG_00001.JPG";
  std::printf("catalog_scan_bench: %d assets, digiKam database %.1f MB, Shotwell %.1f MB\n", total,
              static_cast<double>(fs::file_size(digikamDb)) / 1e6,
              static_cast<double>(fs::file_size(shotwellDb)) / 1e6);
  const auto print = [&](const char* what, const Scan& run) {
    const velmora::bench::LoadAverage load = velmora::bench::loadAverage();
    std::printf("  %-34s %7.2f s  %8.0f assets/s  status %d  items %zu  favourites %zu  load %s\n",
                what, run.seconds, static_cast<double>(run.items) / run.seconds, run.status,
                run.items, run.favourites, load.one.c_str());
  };
  // The databases alone, read as a scan reads them.
  {
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("XDG_DATA_HOME");
    const auto start = std::chrono::steady_clock::now();
    const velmora::photos::FavouriteIndex index = velmora::photos::readProgramDatabases(
        velmora::photos::catalogPlacesFromEnvironment(pictures.string()));
    std::printf(
        "  reading both databases: %.1f ms, %zu favourites, %s\n",
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count(),
        index.favourites.size(), index.unreadable ? "UNREADABLE" : "read");
  }
  print("first scan (fills the cache)", scan(home, previews, changed));
  print("warm scan", scan(home, previews, changed));
  execute(digikamDb, "UPDATE ImageInformation SET rating = 5 WHERE imageid = 2;");
  const Scan after = scan(home, previews, changed);
  print("warm scan after a rating changed", after);
  print("warm scan again", scan(home, previews, changed));
  std::printf("  the changed rating %s\n", after.changedSeen ? "shows" : "DOES NOT SHOW");
  if (!keep) fs::remove_all(root);
  return 0;
}
