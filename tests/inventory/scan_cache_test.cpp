#include "inventory/scan_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>

#include "inventory/scan.h"
#include "support/fake_library.h"
#include "support/temp_dir.h"
#include "support/time_zone.h"

namespace velmora::inventory {
namespace {

namespace fs = std::filesystem;
using bridge::Json;
using testing::FakeLibrary;
using testing::TempDir;

photos::RgbImage pattern(std::uint32_t width, std::uint32_t height, std::uint8_t seed) {
  photos::RgbImage image{width, height, {}};
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      image.pixels.push_back(static_cast<std::uint8_t>(x * 7 + seed));
      image.pixels.push_back(static_cast<std::uint8_t>(y * 5 + seed));
      image.pixels.push_back(static_cast<std::uint8_t>((x ^ y) + seed));
    }
  }
  return image;
}

// Four assets whose findings are all worth keeping, each in a state.
FakeLibrary keepableLibrary() {
  FakeLibrary library;
  library.add("a.jpg", photos::mediaTypeImage, {{1, "public.jpeg", std::string("aaa")}});
  library.entries.back().attributes = {photos::mediaSubtypeScreenshot, 40, 30, true, 1.5e9 + 0.25};
  library.add(
      "b.heic", photos::mediaTypeImage,
      {{1, "public.heic", std::string("bb")}, {9, "com.apple.quicktime-movie", std::string("v")}});
  library.add("c.mov", photos::mediaTypeVideo,
              {{2, "com.apple.quicktime-movie", std::string("c")}});
  library.entries.back().attributes = {0, 1920, 1080, false, std::nullopt};
  library.add("d.png", photos::mediaTypeImage, {{1, "public.png", std::string("")}});
  std::uint8_t seed = 0;
  for (FakeLibrary::Entry& entry : library.entries) {
    entry.preview = pattern(48, 32, seed += 40);
    library.states[entry.asset.localIdentifier] = "state of " + entry.asset.localIdentifier;
  }
  return library;
}

struct Scan {
  std::string lines;  // every line as the bridge would write it
  std::map<std::string, std::string> previews;
};

Scan scan(FakeLibrary& library, const fs::path& previews, ScanCache* cache, unsigned workers = 2) {
  fs::remove_all(previews);
  fs::create_directories(previews);
  Scan result;
  scanAction(
      {"velmora-bridge", "scan", previews.string()}, library,
      [&](const Json& line) { result.lines += bridge::jsonLine(line); }, workers, cache);
  for (const auto& entry : fs::directory_iterator(previews)) {
    result.previews[entry.path().filename()] = testing::readFile(entry.path());
  }
  return result;
}

void expectSame(const Scan& actual, const Scan& expected) {
  EXPECT_EQ(actual.lines, expected.lines);
  EXPECT_EQ(actual.previews, expected.previews);
}

class ScanCacheTest : public ::testing::Test {
 protected:
  std::unique_ptr<ScanCache> open(const std::string& stamp = "stamp 1") {
    return ScanCache::open(dir / "cache", stamp);
  }
  Scan uncached(FakeLibrary& library) { return scan(library, dir / "reference", nullptr); }
  TempDir dir;
};

TEST_F(ScanCacheTest, AWarmScanGivesTheSameLinesAndPreviewsWithoutReadingAnything) {
  FakeLibrary library = keepableLibrary();
  const Scan expected = uncached(library);
  ASSERT_EQ(expected.previews.size(), 4u);
  for (const unsigned workers : {1U, 2U}) {
    std::unique_ptr<ScanCache> cache = open();
    ASSERT_TRUE(cache);
    expectSame(scan(library, dir / "filling", cache.get(), workers), expected);
    cache.reset();

    cache = open();
    library.readLog.clear();
    library.imageRequests = 0;
    expectSame(scan(library, dir / "warm", cache.get(), workers), expected);
    EXPECT_TRUE(library.readLog.empty());
    EXPECT_EQ(library.imageRequests, 0);
  }
  const fs::file_status folder = fs::status(dir / "cache");
  const fs::file_status file = fs::status(dir / "cache" / scanCacheFileName);
  EXPECT_EQ(folder.permissions(), fs::perms::owner_all);
  EXPECT_EQ(file.permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(ScanCacheTest, OnlyWhatALaterScanWouldFindAgainIsKept) {
  // Each case spoils one asset of a keepable library; that asset must be
  // worked on again by the next scan, the others not.
  const std::vector<std::pair<const char*, std::function<void(FakeLibrary&)>>> cases = {
      {"a file that cannot be read", [](FakeLibrary& l) { l.contents.erase("b.heic#1"); }},
      {"no preview", [](FakeLibrary& l) { l.entries[1].preview.reset(); }},
      {"no state", [](FakeLibrary& l) { l.states.erase("b.heic"); }},
  };
  for (const auto& [what, spoil] : cases) {
    SCOPED_TRACE(what);
    FakeLibrary library = keepableLibrary();
    spoil(library);
    const Scan expected = uncached(library);
    fs::remove_all(dir / "cache");
    std::unique_ptr<ScanCache> cache = open();
    expectSame(scan(library, dir / "filling", cache.get()), expected);
    library.imageRequests = 0;
    library.readLog.clear();
    expectSame(scan(library, dir / "warm", cache.get()), expected);
    EXPECT_EQ(library.imageRequests, 1);
    for (const std::string& location : library.readLog) EXPECT_TRUE(location.starts_with("b.heic"));
  }
}

// A file written just after it was read: what was read must never be kept
// under the state the files have afterwards.
TEST_F(ScanCacheTest, WhatWasReadIsNeverKeptUnderTheStateThatFollowed) {
  struct Editing : FakeLibrary {
    bool readResource(const photos::Resource& resource,
                      const photos::ChunkHandler& onChunk) override {
      const bool read = FakeLibrary::readResource(resource, onChunk);
      if (resource.location == "a.jpg#0" && contents[resource.location] == "aaa") {
        contents[resource.location] = "AAA";
        states["a.jpg"] = "edited";
      }
      return read;
    }
  };
  Editing library;
  static_cast<FakeLibrary&>(library) = keepableLibrary();
  {
    std::unique_ptr<ScanCache> cache = open();
    scan(library, dir / "while editing", cache.get(), 1);
  }
  const Scan expected = uncached(library);
  std::unique_ptr<ScanCache> cache = open();
  expectSame(scan(library, dir / "after", cache.get(), 1), expected);
}

TEST_F(ScanCacheTest, AnotherStateOrStampIsAMissAndUnmetAssetsAreForgotten) {
  FakeLibrary library = keepableLibrary();
  {
    std::unique_ptr<ScanCache> cache = open();
    scan(library, dir / "filling", cache.get());
  }
  // The asset's files changed: its old findings must not come back.
  library.states["a.jpg"] = "touched";
  library.entries[0].attributes.isFavorite = false;
  const Scan expected = uncached(library);
  library.imageRequests = 0;
  {
    std::unique_ptr<ScanCache> cache = open();
    expectSame(scan(library, dir / "changed", cache.get()), expected);
  }
  EXPECT_EQ(library.imageRequests, 1);

  // Another build: nothing kept before counts.
  library.imageRequests = 0;
  {
    std::unique_ptr<ScanCache> cache = open("stamp 2");
    scan(library, dir / "rebuilt", cache.get());
  }
  EXPECT_EQ(library.imageRequests, 4);

  // c.mov leaves the library, so its entry goes; when it comes back with
  // the very same files, it is worked on again.
  FakeLibrary without;
  without.entries = library.entries;
  without.contents = library.contents;
  without.states = library.states;
  std::erase_if(without.entries, [](const FakeLibrary::Entry& entry) {
    return entry.asset.localIdentifier == "c.mov";
  });
  {
    std::unique_ptr<ScanCache> cache = open("stamp 2");
    scan(without, dir / "without", cache.get());
  }
  library.imageRequests = 0;
  {
    std::unique_ptr<ScanCache> cache = open("stamp 2");
    scan(library, dir / "back", cache.get());
  }
  EXPECT_EQ(library.imageRequests, 1);
}

TEST_F(ScanCacheTest, WhatIsInTheFilesPlaceDecidesWhetherItCanBeUsed) {
  FakeLibrary library = keepableLibrary();
  const Scan expected = uncached(library);
  const fs::path file = dir / "cache" / scanCacheFileName;
  std::string filled;
  {
    std::unique_ptr<ScanCache> cache = open();
    scan(library, dir / "filling", cache.get());
  }
  filled = testing::readFile(file);
  ASSERT_GT(filled.size(), 4096u);

  struct Case {
    const char* what;
    std::function<void()> plant;
    bool usable;
  };
  const fs::path victim = dir / "victim";
  const std::vector<Case> cases = {
      {"garbage", [&] { testing::writeFile(file, std::string(20000, 'x')); }, true},
      {"cut short", [&] { testing::writeFile(file, filled.substr(0, filled.size() / 2)); }, true},
      {"every other page zeroed",
       [&] {
         std::string damaged = filled;
         for (std::size_t page = 4096; page + 4096 <= damaged.size(); page += 8192) {
           std::fill_n(damaged.begin() + static_cast<long>(page), 4096, '\0');
         }
         testing::writeFile(file, damaged);
       },
       true},
      {"a symlink to another file",
       [&] {
         testing::writeFile(victim, "not the cache");
         fs::create_symlink(victim, file);
       },
       true},
      {"a symlink in the journal's place",
       [&] {
         testing::writeFile(file, filled);
         testing::writeFile(victim, "not the cache");
         fs::create_symlink(victim, file.string() + "-wal");
       },
       true},
      {"a folder", [&] { fs::create_directories(file / "inside"); }, false},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.what);
    fs::remove_all(dir / "cache");
    fs::remove_all(victim);
    fs::create_directories(dir / "cache");
    item.plant();
    std::unique_ptr<ScanCache> cache = open();
    EXPECT_EQ(cache != nullptr, item.usable);
    expectSame(scan(library, dir / "scan", cache.get()), expected);
    cache.reset();
    // A damaged file gives way to a fresh one that works from then on.
    if (item.usable) {
      for (const char* run : {"again", "warm"}) {
        cache = open();
        ASSERT_TRUE(cache);
        library.imageRequests = 0;
        expectSame(scan(library, dir / run, cache.get()), expected);
        cache.reset();
      }
      EXPECT_EQ(library.imageRequests, 0);
      EXPECT_FALSE(fs::is_symlink(file));
    }
    if (fs::exists(victim)) {
      EXPECT_EQ(testing::readFile(victim), "not the cache");
    }
  }
}

TEST_F(ScanCacheTest, WhereTimesCannotVouchForTheBytesTheirFingerprintMustMatchToo) {
  // As on a FUSE file system with sshfs's rules: an edit keeps size and
  // times, so the files' state stays as it was while a file's bytes change.
  FakeLibrary library = keepableLibrary();
  library.statesNeedContent = true;
  {
    std::unique_ptr<ScanCache> cache = open();
    scan(library, dir / "filling", cache.get());
  }
  library.contents["a.jpg#0"] = "AAA";
  library.entries[0].attributes.isFavorite = false;
  const Scan expected = uncached(library);
  library.imageRequests = 0;
  library.readLog.clear();
  {
    std::unique_ptr<ScanCache> cache = open();
    expectSame(scan(library, dir / "warm", cache.get()), expected);
  }
  // Every asset's bytes are read, only the changed one is decoded.
  EXPECT_EQ(library.imageRequests, 1);
  EXPECT_EQ(std::set<std::string>(library.readLog.begin(), library.readLog.end()).size(), 5u);
}

TEST_F(ScanCacheTest, ADateWithoutAZoneIsReadInTheZoneOfTheScanThatFindsIt) {
  // A journey between two scans: the photo's wall-clock time is another
  // instant now, as a scan without the cache reads it.
  FakeLibrary library = keepableLibrary();
  photos::AssetAttributes& attributes = library.entries[0].attributes;
  attributes.creationWallClock = photos::WallClock{1'600'000'000, 0.25};
  {
    testing::ScopedTimeZone zone("UTC");
    attributes.creationDate = photos::instantOf(*attributes.creationWallClock);
    std::unique_ptr<ScanCache> cache = open();
    scan(library, dir / "at home", cache.get());
  }
  testing::ScopedTimeZone zone("JST-9");
  attributes.creationDate = photos::instantOf(*attributes.creationWallClock);
  const Scan expected = uncached(library);
  library.imageRequests = 0;
  std::unique_ptr<ScanCache> cache = open();
  expectSame(scan(library, dir / "abroad", cache.get()), expected);
  EXPECT_EQ(library.imageRequests, 0);
  EXPECT_NE(expected.lines.find("1599967600.25"), std::string::npos);
}

TEST_F(ScanCacheTest, TheFileShrinksWithTheLibrary) {
  FakeLibrary large;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "p" + std::to_string(i) + ".jpg";
    large.add(name, photos::mediaTypeImage, {{1, "public.jpeg", name}});
    large.entries.back().preview = pattern(200, 150, static_cast<std::uint8_t>(i));
    large.states[name] = "state of " + name;
  }
  FakeLibrary small = large;
  small.entries.resize(3);
  const fs::path file = dir / "cache" / scanCacheFileName;
  for (FakeLibrary* library : {&large, &small}) {
    std::unique_ptr<ScanCache> cache = open();
    scan(*library, dir / "previews", cache.get());
  }
  const auto smallSize = fs::file_size(file);
  {
    std::unique_ptr<ScanCache> cache = open();
    scan(large, dir / "previews", cache.get());
  }
  const auto largeSize = fs::file_size(file);
  EXPECT_LT(smallSize * 20, largeSize) << smallSize << " " << largeSize;
}

TEST_F(ScanCacheTest, AFolderThatIsASymlinkOrAnotherUsersIsNotUsed) {
  fs::create_directories(dir / "elsewhere");
  fs::create_symlink(dir / "elsewhere", dir / "cache");
  EXPECT_EQ(open(), nullptr);
  EXPECT_TRUE(fs::is_empty(dir / "elsewhere"));

  // A folder above it may be a symlink: users move their caches.
  fs::create_directories(dir / "real");
  fs::create_symlink(dir / "real", dir / "linked");
  EXPECT_NE(ScanCache::open(dir / "linked" / "velmora-bridge", "stamp"), nullptr);
  EXPECT_TRUE(fs::exists(dir / "real" / "velmora-bridge" / scanCacheFileName));

  if (::geteuid() == 0) {
    fs::create_directories(dir / "foreign");
    ASSERT_EQ(::chown((dir / "foreign").c_str(), 65534, 65534), 0);
    EXPECT_EQ(ScanCache::open(dir / "foreign", "stamp"), nullptr);
  }
}

}  // namespace
}  // namespace velmora::inventory
