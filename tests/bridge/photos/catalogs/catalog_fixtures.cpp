#include "bridge/photos/catalogs/catalog_fixtures.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace velmora::testing {

void runSql(const std::filesystem::path& file, const std::string& sql) {
  std::filesystem::create_directories(file.parent_path());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error != nullptr ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

const char* const digikamSchema = R"(
CREATE TABLE AlbumRoots (id INTEGER PRIMARY KEY, label TEXT, status INTEGER NOT NULL,
  type INTEGER NOT NULL, identifier TEXT, specificPath TEXT, UNIQUE(identifier, specificPath));
CREATE TABLE Albums (id INTEGER PRIMARY KEY, albumRoot INTEGER NOT NULL, relativePath TEXT NOT NULL,
  date DATE, caption TEXT, collection TEXT, icon INTEGER, UNIQUE(albumRoot, relativePath));
CREATE TABLE Images (id INTEGER PRIMARY KEY, album INTEGER, name TEXT NOT NULL,
  status INTEGER NOT NULL, category INTEGER NOT NULL, modificationDate DATETIME,
  fileSize INTEGER, uniqueHash TEXT, UNIQUE (album, name));
CREATE TABLE ImageInformation (imageid INTEGER PRIMARY KEY, rating INTEGER,
  creationDate DATETIME, digitizationDate DATETIME, orientation INTEGER, width INTEGER,
  height INTEGER, format TEXT, colorDepth INTEGER, colorModel INTEGER);
CREATE TABLE Tags (id INTEGER PRIMARY KEY, pid INTEGER, name TEXT NOT NULL, icon INTEGER,
  iconkde TEXT, UNIQUE (name, pid));
CREATE TABLE ImageTags (imageid INTEGER NOT NULL, tagid INTEGER NOT NULL, UNIQUE (imageid, tagid));
INSERT INTO Tags VALUES (1, 0, '_Digikam_Internal_Tags_', NULL, NULL);
INSERT INTO Tags VALUES (16, 1, 'Pick Label None', NULL, NULL);
INSERT INTO Tags VALUES (19, 1, 'Pick Label Accepted', NULL, NULL);
)";

const char* const shotwellSchema = R"(
CREATE TABLE PhotoTable (id INTEGER PRIMARY KEY, filename TEXT UNIQUE NOT NULL, width INTEGER,
  height INTEGER, filesize INTEGER, timestamp INTEGER, exposure_time INTEGER, orientation INTEGER,
  original_orientation INTEGER, import_id INTEGER, event_id INTEGER, transformations TEXT,
  md5 TEXT, thumbnail_md5 TEXT, exif_md5 TEXT, time_created INTEGER, flags INTEGER DEFAULT 0,
  rating INTEGER DEFAULT 0, file_format INTEGER DEFAULT 0, title TEXT, backlinks TEXT,
  time_reimported INTEGER, editable_id INTEGER DEFAULT -1, metadata_dirty INTEGER DEFAULT 0,
  developer TEXT, develop_shotwell_id INTEGER DEFAULT -1, develop_camera_id INTEGER DEFAULT -1,
  develop_embedded_id INTEGER DEFAULT -1, comment TEXT);
CREATE TABLE VideoTable (id INTEGER PRIMARY KEY, filename TEXT UNIQUE NOT NULL, width INTEGER,
  height INTEGER, clip_duration REAL, is_interpretable INTEGER, filesize INTEGER,
  timestamp INTEGER, exposure_time INTEGER, import_id INTEGER, event_id INTEGER, md5 TEXT,
  time_created INTEGER, rating INTEGER DEFAULT 0, title TEXT, backlinks TEXT,
  time_reimported INTEGER, flags INTEGER DEFAULT 0, comment TEXT);
)";

}  // namespace velmora::testing
