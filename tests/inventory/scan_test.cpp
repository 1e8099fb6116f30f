#include "inventory/scan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "bridge/messages.h"
#include "support/fake_library.h"
#include "support/temp_dir.h"

namespace velmora::inventory {
namespace {

namespace fs = std::filesystem;
using bridge::Json;
using testing::FakeLibrary;
using testing::TempDir;

const std::string warningSuffix = bridge::messages::scanWarningSuffix;

photos::RgbImage grey(std::uint32_t width, std::uint32_t height, std::uint8_t level) {
  return {width, height, std::vector<std::uint8_t>(std::size_t{width} * height * 3, level)};
}

struct Scan {
  int status = -1;
  std::vector<Json> lines;
  const Json& result() const { return lines.back(); }
  const Json& item(std::size_t index) const { return lines.back()["items"][index]; }
};

Scan runScan(FakeLibrary& library, const fs::path& folder) {
  Scan scan;
  scan.status = scanAction({"velmora-bridge", "scan", folder.string()}, library,
                           [&](const Json& line) { scan.lines.push_back(line); });
  return scan;
}

TEST(ScanAction, EmptyLibraryGivesEmptyArraysOnly) {
  FakeLibrary library;
  TempDir folder;
  const Scan scan = runScan(library, folder.path());
  EXPECT_EQ(scan.status, 0);
  ASSERT_EQ(scan.lines.size(), 1u);
  EXPECT_EQ(scan.result(), (Json{{"items", Json::array()}, {"errors", Json::array()}}));
}

TEST(ScanAction, TenAssetsCountOneToTenAndNamePreviewsByPosition) {
  FakeLibrary library;
  for (int n = 0; n < 10; ++n) {
    library.add("p" + std::to_string(n) + ".jpg", photos::mediaTypeImage,
                {{1, "public.jpeg", std::string(static_cast<std::size_t>(n), 'x')}});
    if (n != 4) library.entries.back().preview = grey(20, 10, static_cast<std::uint8_t>(n * 20));
  }
  TempDir folder;
  const Scan scan = runScan(library, folder.path());
  ASSERT_EQ(scan.lines.size(), 11u);
  for (int n = 0; n < 10; ++n) {
    EXPECT_EQ(scan.lines[n],
              (Json{{"progress", "Fotomediathek: " + std::to_string(n + 1) + "/10"}}));
    const Json& item = scan.item(static_cast<std::size_t>(n));
    EXPECT_EQ(item["id"], std::to_string(n));
    EXPECT_EQ(item["asset_id"], "p" + std::to_string(n) + ".jpg");
    EXPECT_EQ(fs::exists(folder / (std::to_string(n) + ".jpg")), n != 4);
    EXPECT_EQ(item.contains("dhash_string"), n != 4);
  }
}

TEST(ScanAction, ProgressGoesOutBeforeTheAssetIsRead) {
  struct Logging : FakeLibrary {
    std::mutex mutex;
    std::vector<std::string> events;
    void log(std::string event) {
      const std::lock_guard lock(mutex);
      events.push_back(std::move(event));
    }
    bool readResource(const photos::Resource& resource,
                      const photos::ChunkHandler& onChunk) override {
      log("read " + resource.location);
      return FakeLibrary::readResource(resource, onChunk);
    }
  };
  for (const unsigned workers : {1U, 3U}) {
    Logging logging;
    for (const char* name : {"a", "b", "c", "d", "e"}) {
      logging.add(name, photos::mediaTypeImage, {{1, "public.jpeg", std::string(name)}});
    }
    TempDir folder;
    scanAction({"velmora-bridge", "scan", folder.path()}, logging,
               [&](const Json& line) { logging.log(line.dump()); }, workers);
    const std::vector<std::string>& events = logging.events;
    if (workers == 1) {
      EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 4),
                (std::vector<std::string>{R"({"progress":"Fotomediathek: 1/5"})", "read a#0",
                                          R"({"progress":"Fotomediathek: 2/5"})", "read b#0"}));
    }
    // Whatever the number of workers: the progress lines in order, each
    // before its asset is read, and the result last.
    std::vector<std::string> progress;
    for (const std::string& event : events) {
      if (event.starts_with(R"({"progress")")) progress.push_back(event);
    }
    ASSERT_EQ(progress.size(), 5u) << workers;
    const std::string names = "abcde";
    for (std::size_t i = 0; i < 5; ++i) {
      const std::string line =
          R"({"progress":"Fotomediathek: )" + std::to_string(i + 1) + R"(/5"})";
      EXPECT_EQ(progress[i], line);
      const auto announced = std::find(events.begin(), events.end(), line);
      const auto read =
          std::find(events.begin(), events.end(), std::string("read ") + names[i] + "#0");
      EXPECT_LT(announced, read) << workers << " " << names[i];
    }
    EXPECT_TRUE(Json::parse(events.back()).contains("items"));
  }
}

TEST(ScanAction, RecordCarriesFixedKeysInTheirJsonForms) {
  FakeLibrary library;
  library.add("DCIM/fav.heic", photos::mediaTypeImage,
              {{1, "public.heic", std::string("abcd")},
               {9, "com.apple.quicktime-movie", std::string("123456")}});
  library.entries.back().attributes = {photos::mediaSubtypeScreenshot, 4032, 3024, true,
                                       1700000000.25};
  library.entries.back().preview = grey(60, 45, 0);
  TempDir folder;
  const Json item = runScan(library, folder.path()).item(0);

  EXPECT_EQ(item["name"], "DCIM/fav.heic-0");
  EXPECT_EQ(item["path"], "Fotos / DCIM/fav.heic-0");
  EXPECT_EQ(item["size"], 10);
  EXPECT_TRUE(item["size"].is_number_integer());
  EXPECT_EQ(item["owner"], ::getuid());
  EXPECT_EQ(item["video"], 0);
  EXPECT_TRUE(item["video"].is_number_integer());
  EXPECT_EQ(item["screenshot"], 1);
  EXPECT_TRUE(item["screenshot"].is_number_integer());
  EXPECT_EQ(item["favorite"], true);
  EXPECT_TRUE(item["favorite"].is_boolean());
  EXPECT_EQ(item["width"], 4032);
  EXPECT_EQ(item["height"], 3024);
  EXPECT_EQ(item["created"], 1700000000.25);
  EXPECT_EQ(item["size_known"], 1);
  EXPECT_TRUE(item["size_known"].is_number_integer());
  EXPECT_EQ(item["hash"].get<std::string>().size(), 64u);
  EXPECT_EQ(item["dhash_string"], "0");
  EXPECT_EQ(item["variance"], 0.0);
  EXPECT_EQ(item.size(), 19u) << item.dump();
}

TEST(ScanAction, NonImagesKeepMetricsButLoseTheDifferenceHash) {
  FakeLibrary library;
  library.add("clip.mov", photos::mediaTypeVideo,
              {{2, "com.apple.quicktime-movie", std::string("v")}});
  library.entries.back().preview = grey(32, 18, 50);
  library.add("other.bin", photos::mediaTypeUnknown, {{1, "public.data", std::string("o")}});
  library.entries.back().preview = grey(8, 8, 50);
  library.add("still.jpg", photos::mediaTypeImage, {{1, "public.jpeg", std::string("s")}});
  library.entries.back().preview = grey(8, 8, 50);
  TempDir folder;
  const Scan scan = runScan(library, folder.path());
  const std::vector<std::pair<int, bool>> expected = {{1, false}, {0, false}, {0, true}};
  for (std::size_t n = 0; n < expected.size(); ++n) {
    const Json& item = scan.item(n);
    EXPECT_EQ(item["video"], expected[n].first);
    EXPECT_EQ(item.contains("dhash_string"), expected[n].second) << n;
    for (const char* key : {"qr", "qr_checked", "sharpness", "variance"}) {
      EXPECT_TRUE(item.contains(key)) << n << key;
    }
    EXPECT_TRUE(fs::exists(folder / (std::to_string(n) + ".jpg")));
  }
}

TEST(ScanAction, MissingOriginalsWarnAndLeaveSizeIncomplete) {
  FakeLibrary library;
  // Cloud-only: the type-1 resource is missing.
  library.add("cloud.jpg", photos::mediaTypeImage,
              {{2, "public.mpeg-4", std::string("12345")}, {1, "public.jpeg", std::nullopt}});
  // The photo is local, its paired video is not.
  library.add(
      "half.heic", photos::mediaTypeImage,
      {{1, "public.heic", std::string("123")}, {9, "com.apple.quicktime-movie", std::nullopt}});
  library.add("empty", photos::mediaTypeImage, {});
  TempDir folder;
  const Scan scan = runScan(library, folder.path());
  EXPECT_EQ(scan.status, 0);
  const std::vector<std::pair<std::string, int>> expected = {
      {"cloud.jpg-0", 0}, {"half.heic-0", 3}, {"empty", 0}};
  ASSERT_EQ(scan.result()["errors"].size(), 3u);
  for (std::size_t n = 0; n < expected.size(); ++n) {
    const Json& item = scan.item(n);
    EXPECT_EQ(item["size_known"], 0);
    EXPECT_FALSE(item.contains("hash"));
    EXPECT_EQ(item["size"], expected[n].second);
    EXPECT_EQ(item["name"], expected[n].first);
    EXPECT_EQ(scan.result()["errors"][n], expected[n].first + warningSuffix);
  }
  EXPECT_EQ(scan.result()["errors"][0],
            "cloud.jpg-0: Originale nicht vollständig lokal verfügbar; Größe unvollständig, keine "
            "exakte Duplikaterkennung");
}

TEST(ScanAction, NameFallsBackToIdentifierOnlyWithoutAFileName) {
  FakeLibrary library;
  library.add("no-name", photos::mediaTypeImage, {{1, "public.jpeg", std::string("a")}});
  library.entries.back().asset.resources[0].originalFilename.reset();
  library.add("empty-name", photos::mediaTypeImage, {{1, "public.jpeg", std::string("b")}});
  library.entries.back().asset.resources[0].originalFilename = "";
  // The first listed resource names the asset, not the first in type order.
  library.add("listed", photos::mediaTypeImage,
              {{7, "com.adobe.xmp", std::string("c")}, {1, "public.jpeg", std::string("d")}});
  TempDir folder;
  const Scan scan = runScan(library, folder.path());
  EXPECT_EQ(scan.item(0)["name"], "no-name");
  EXPECT_EQ(scan.item(0)["path"], "Fotos / no-name");
  EXPECT_EQ(scan.item(1)["name"], "");
  EXPECT_EQ(scan.item(1)["path"], "Fotos / ");
  EXPECT_EQ(scan.item(2)["name"], "listed-0");
  EXPECT_EQ(scan.item(0)["created"], 0.0);
  EXPECT_TRUE(scan.item(0)["created"].is_number());
}

TEST(ScanAction, MissingScanFolderGivesTheSameRecordsAndNoFiles) {
  FakeLibrary library;
  library.add("a.jpg", photos::mediaTypeImage, {{1, "public.jpeg", std::string("a")}});
  library.entries.back().preview = grey(30, 30, 77);
  TempDir present;
  TempDir parent;
  const Scan withFolder = runScan(library, present.path());
  const Scan withoutFolder = runScan(library, parent / "missing");
  EXPECT_EQ(withoutFolder.status, 0);
  EXPECT_EQ(withoutFolder.result(), withFolder.result());
  EXPECT_FALSE(fs::exists(parent / "missing"));
}

}  // namespace
}  // namespace velmora::inventory
