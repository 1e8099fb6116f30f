// The built executable on libraries that other programs describe: Google
// Takeout exports with their JSON, cameras' companion files, and digiKam's
// and Shotwell's databases in a home of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "bridge/messages.h"
#include "bridge/photos/catalogs/catalog_fixtures.h"
#include "bridge/photos/disk_library.h"
#include "inventory/fingerprint.h"
#include "support/bridge_runner.h"
#include "support/sample_files.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Library {
  TestHome home;
  fs::path pictures = home.pictures();

  json scan() const {
    const fs::path previews = home.scratch() / "previews";
    fs::remove_all(previews);
    fs::create_directories(previews);
    const BridgeRun run = runBridge({"scan", previews.string()}, home);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.err, "");
    json byId = json::object();
    if (run.lines.empty()) return byId;
    for (const json& item : run.lines.back()["items"])
      byId[item["asset_id"].get<std::string>()] = item;
    return byId;
  }

  // Deletes one asset, checked by its fingerprint now; the answer's line.
  json remove(const std::string& id) const {
    photos::DiskLibrary library(pictures);
    const std::vector<photos::Asset> found = library.fetchByIdentifiers({id});
    std::uint64_t size = 0;
    const std::string hash =
        found.empty() ? "" : inventory::resourceHash(library, found.front(), size).value_or("");
    const fs::path request = home.scratch() / "request.json";
    writeFile(request, json{{"ids", {id}}, {"checks", {{{"id", id}, {"hash", hash}}}}}.dump());
    const BridgeRun run = runBridge({"delete", request.string()}, home);
    EXPECT_EQ(run.err, "");
    return run.lines.size() == 1 ? run.lines[0] : json();
  }
};

const json refusedAsFavourite = {{"error", bridge::messages::selectionHasFavorite}};
const json movedOne = {{"moved", 1}, {"errors", json::array()}};

TEST(CatalogsEndToEnd, TakeoutSidecarsAndCameraCompanionsGoWithTheirFiles) {
  Library library;
  const fs::path album = library.pictures / "Takeout" / "Google Fotos" / "Urlaub 2015";
  writeFlatJpeg(album / "IMG_1.jpg", 10);
  writeFile(album / "IMG_1.jpg.supplemental-metadata.json",
            R"({"title": "IMG_1.jpg", "favorited": true,
                "photoTakenTime": {"timestamp": "1450051200"}})");
  writeFlatJpeg(album / "IMG_2.jpg", 20);
  writeFile(album / "IMG_2.jpg.json", R"({"title": "../IMG_1.jpg",
                                          "photoTakenTime": {"timestamp": "1300000000"}})");
  writeFlatJpeg(album / "IMG_2-edited.jpg", 30);
  writeFile(album / "metadata.json", R"({"title": "Urlaub 2015", "favorited": true})");
  writeFile(album / "GX010001.MP4", "not much of a video");
  writeFile(album / "GL010001.LRV", "its low-resolution copy");
  writeFile(album / "GX010001.THM", "its thumbnail");

  const json items = library.scan();
  ASSERT_EQ(items.size(), 4u) << items.dump();
  const std::string prefix = "Takeout/Google Fotos/Urlaub 2015/";
  EXPECT_EQ(items[prefix + "IMG_1.jpg"]["favorite"], true);
  EXPECT_EQ(items[prefix + "IMG_1.jpg"]["created"], 1450051200.0);
  EXPECT_EQ(items[prefix + "IMG_2.jpg"]["favorite"], false);
  EXPECT_EQ(items[prefix + "IMG_2.jpg"]["created"], 1300000000.0);
  EXPECT_EQ(items[prefix + "IMG_2-edited.jpg"]["created"], 1300000000.0);

  EXPECT_EQ(library.remove(prefix + "IMG_1.jpg"), refusedAsFavourite);
  EXPECT_TRUE(fs::exists(album / "IMG_1.jpg.supplemental-metadata.json"));
  EXPECT_EQ(library.remove(prefix + "IMG_2.jpg"), movedOne);
  EXPECT_EQ(library.remove(prefix + "GX010001.MP4"), movedOne);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(album)) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"IMG_1.jpg", "IMG_1.jpg.supplemental-metadata.json",
                                            "IMG_2-edited.jpg", "metadata.json"}));
}

TEST(CatalogsEndToEnd, ATakeoutJsonEditedAfterAScanShowsAndAnOversizedOneStopsTheDelete) {
  Library library;
  writeFlatJpeg(library.pictures / "IMG_1.jpg", 10);
  writeFile(library.pictures / "IMG_1.jpg.json", R"({"favorited": false})");
  writeFlatJpeg(library.pictures / "IMG_3.jpg", 30);
  writeFile(library.pictures / "IMG_3.jpg.json",
            R"({"favorited": false, "title": ")" + std::string(2 << 20, 'x') + R"("})");
  ::sleep(3);  // old enough for the scan cache to keep them
  EXPECT_EQ(library.scan()["IMG_1.jpg"]["favorite"], false);
  writeFile(library.pictures / "IMG_1.jpg.json", R"({"favorited": true})");
  const json items = library.scan();
  EXPECT_EQ(items["IMG_1.jpg"]["favorite"], true);
  EXPECT_EQ(items["IMG_3.jpg"]["favorite"], false);
  EXPECT_EQ(library.remove("IMG_3.jpg"), refusedAsFavourite);
}

// Names of the files beside a database that SQLite would leave when it wrote.
bool leftNoTraces(const fs::path& database) {
  for (const char* suffix : {"-journal", "-wal", "-shm"}) {
    if (fs::exists(database.string() + suffix)) return false;
  }
  return true;
}

TEST(CatalogsEndToEnd, RatingsInDigikamAndShotwellShowInEveryScanAndStopTheDelete) {
  Library library;
  for (const char* name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg"}) {
    writeFlatJpeg(library.pictures / "DCIM" / name, name[0]);
  }
  const fs::path digikam = library.pictures / "digikam4.db";
  runSql(digikam,
         std::string(digikamSchema) +
             "INSERT INTO AlbumRoots VALUES (1, 'Bilder', 0, 1, 'volumeid:?path=" +
             library.pictures.string() +
             "', '/');"
             "INSERT INTO Albums VALUES (1, 1, '/DCIM', NULL, NULL, NULL, NULL);"
             "INSERT INTO Images VALUES (1, 1, 'a.jpg', 1, 1, NULL, NULL, NULL),"
             " (2, 1, 'b.jpg', 1, 1, NULL, NULL, NULL), (3, 1, 'c.jpg', 3, 1, NULL, NULL, NULL);"
             "INSERT INTO ImageInformation (imageid, rating) VALUES (1, 5), (3, 5);"
             "INSERT INTO ImageTags VALUES (2, 19);");
  const fs::path shotwell = library.home.home() / ".local/share/shotwell/data/photo.db";
  const std::string dcim = (library.pictures / "DCIM").string();
  runSql(shotwell, std::string(shotwellSchema) +
                       "INSERT INTO PhotoTable (filename, flags, rating) VALUES ('" + dcim +
                       "/d.jpg', 16, 0), ('" + dcim + "/e.jpg', 0, 4), ('/etc/hostname', 0, 5);");
  const std::string digikamBytes = readFile(digikam);
  ::sleep(3);  // old enough for the scan cache to keep them

  json items = library.scan();
  std::string favourites;
  for (const auto& [id, item] : items.items())
    favourites += item["favorite"] == true ? id + " " : "";
  EXPECT_EQ(favourites, "DCIM/a.jpg DCIM/b.jpg DCIM/d.jpg ");
  EXPECT_TRUE(leftNoTraces(digikam));
  EXPECT_TRUE(leftNoTraces(shotwell));
  EXPECT_EQ(readFile(digikam), digikamBytes);

  // Changed in the programs after the scan: the next scan, with its cache
  // full, sees it.
  runSql(digikam, "UPDATE ImageInformation SET rating = 3 WHERE imageid = 1;");
  runSql(shotwell, "UPDATE PhotoTable SET rating = 5 WHERE filename LIKE '%/e.jpg';");
  items = library.scan();
  EXPECT_EQ(items["DCIM/a.jpg"]["favorite"], false);
  EXPECT_EQ(items["DCIM/e.jpg"]["favorite"], true);

  EXPECT_EQ(library.remove("DCIM/d.jpg"), refusedAsFavourite);
  EXPECT_EQ(library.remove("DCIM/b.jpg"), refusedAsFavourite);
  EXPECT_EQ(library.remove("DCIM/c.jpg"), movedOne);
}

TEST(CatalogsEndToEnd, ADatabaseThatCannotBeReadClaimsNothingAndStopsEveryDelete) {
  const struct {
    std::string name;
    std::function<void(const Library&)> prepare;
    bool deleteRefused;
  } cases[] = {
      {"damaged",
       [](const Library& l) { writeFile(l.pictures / "digikam4.db", "SQLite format 3 but no"); },
       true},
      {"unknown schema",
       [](const Library& l) { runSql(l.pictures / "digikam4.db", "CREATE TABLE Other (x);"); },
       true},
      {"a server database",
       [](const Library& l) {
         writeFile(l.home.home() / ".config/digikamrc",
                   "[Database Settings]\nDatabase Type=QMYSQL\nDatabase Name=digikam\n");
       },
       true},
      {"a link to a file that is no database",
       [](const Library& l) {
         fs::create_directories(l.home.home() / ".local/share/shotwell/data");
         fs::create_symlink("/etc/hostname", l.home.home() / ".local/share/shotwell/data/photo.db");
       },
       true},
      {"a folder outside the home without one",
       [](const Library& l) {
         writeFile(l.home.home() / ".config/digikamrc",
                   "[Database Settings]\nDatabase Type=QSQLITE\nDatabase Name=/etc/\n");
       },
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Library library;
    writeFlatJpeg(library.pictures / "plain.jpg", 40);
    c.prepare(library);
    const json items = library.scan();
    EXPECT_EQ(items["plain.jpg"]["favorite"], false);
    EXPECT_EQ(library.remove("plain.jpg"), c.deleteRefused ? refusedAsFavourite : movedOne);
    EXPECT_EQ(fs::exists(library.pictures / "plain.jpg"), c.deleteRefused);
  }
}

}  // namespace
}  // namespace velmora::testing
