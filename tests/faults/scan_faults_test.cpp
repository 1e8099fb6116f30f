// `scan` when files and folders fail under it: a folder that goes away after
// the library was listed, a preview folder that cannot be written, hostile
// images beside good ones, a parent that stops reading. The scan always
// ends with one record per asset and status 0.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <vips/vips8>

#include "bridge/messages.h"
#include "bridge/photos/disk_library.h"
#include "base/vips.h"
#include "faults/hostile_images.h"
#include "inventory/scan.h"
#include "support/sample_files.h"
#include "support/bridge_runner.h"
#include "support/forwarding_library.h"
#include "support/raw_files.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The real library, except that a folder is taken away right after the
// assets were listed: the window between enumeration and reading.
class VanishingFolderLibrary final : public ForwardingLibrary {
 public:
  VanishingFolderLibrary(photos::PhotoLibrary& real, fs::path vanishing)
      : ForwardingLibrary(real), vanishing_(std::move(vanishing)) {}
  std::vector<photos::Asset> fetchAll() override {
    std::vector<photos::Asset> assets = real_.fetchAll();
    fs::rename(vanishing_, vanishing_.string() + "-gone");
    return assets;
  }

 private:
  fs::path vanishing_;
};

TEST(ScanFaults, AFolderThatGoesAwayMidScanGivesWarningsNotAnAbort) {
  TempDir dir;
  writeFlatJpeg(dir / "pictures/2023/a.jpg", 10);
  writeFlatJpeg(dir / "pictures/2023/b.jpg", 20);
  writeFlatJpeg(dir / "pictures/z.jpg", 30);
  fs::create_directories(dir / "previews");
  photos::DiskLibrary disk(dir / "pictures");
  VanishingFolderLibrary library(disk, dir / "pictures/2023");
  std::vector<json> lines;
  const int status = inventory::scanAction({"velmora-bridge", "scan", (dir / "previews").string()},
                                           library, [&](const json& line) { lines.push_back(line); });
  EXPECT_EQ(status, 0);
  ASSERT_FALSE(lines.empty());
  const json& result = lines.back();
  ASSERT_TRUE(result.contains("items")) << result.dump();
  ASSERT_EQ(result["items"].size(), 3u);
  EXPECT_EQ(result["errors"].size(), 2u) << result.dump();
  EXPECT_FALSE(result["items"][0].contains("hash"));
  EXPECT_FALSE(result["items"][1].contains("hash"));
  EXPECT_TRUE(result["items"][2].contains("hash"));
  EXPECT_TRUE(fs::exists(dir / "previews/2.jpg"));
}

TEST(ScanFaults, APreviewFolderThatCannotBeWrittenLeavesTheRecordsWhole) {
  TestHome home;
  writeFlatJpeg(home.pictures() / "a.jpg", 10);
  writeFlatJpeg(home.pictures() / "b.jpg", 20);
  writeFile(home.scratch() / "file", "a file, not a folder");
  std::vector<fs::path> folders = {home.scratch() / "file" / "previews",  // cannot exist
                                   home.scratch() / "missing"};
  if (::geteuid() != 0) {
    // Permission bits stop only other users than root.
    fs::create_directories(home.scratch() / "readonly");
    fs::permissions(home.scratch() / "readonly", fs::perms::owner_read | fs::perms::owner_exec);
    folders.push_back(home.scratch() / "readonly");
  }
  for (const fs::path& folder : folders) {
    SCOPED_TRACE(folder.string());
    const BridgeRun run = runBridge({"scan", folder.string()}, home);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    ASSERT_FALSE(run.lines.empty()) << run.out;
    const json& result = run.lines.back();
    ASSERT_TRUE(result.contains("items")) << run.out;
    ASSERT_EQ(result["items"].size(), 2u);
    for (const json& item : result["items"]) {
      EXPECT_TRUE(item.contains("hash"));
      EXPECT_TRUE(item.contains("dhash_string")) << item.dump();  // measured all the same
    }
    if (fs::is_directory(folder)) {
      EXPECT_TRUE(fs::is_empty(folder));
    }
  }
}

// Preview folders where previews would replace files that are not the
// scan's: none at all for an empty path (it would be the current folder),
// none inside the pictures folder however it is reached. The records are
// whole and measured all the same.
TEST(ScanFaults, PreviewsAreNeverWrittenAmongTheUsersOwnFiles) {
  struct Case {
    const char* what;
    std::function<std::string(const TestHome&)> folder;
  };
  const std::vector<Case> cases = {
      {"an empty path", [](const TestHome&) { return std::string(); }},
      {"the pictures folder", [](const TestHome& h) { return h.pictures().string(); }},
      {"a folder inside it", [](const TestHome& h) { return (h.pictures() / "sub").string(); }},
      {"a link to the pictures folder",
       [](const TestHome& h) {
         fs::create_directory_symlink(h.pictures(), h.scratch() / "link");
         return (h.scratch() / "link").string();
       }},
      {"a path back into it through ..",
       [](const TestHome& h) { return (h.pictures() / "sub" / ".." / ".." / "Pictures").string(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestHome home;
    // The user's own 0.jpg, read-only: a preview of that name would replace it.
    writeFlatJpeg(home.pictures() / "0.jpg", 10);
    writeFlatJpeg(home.pictures() / "sub" / "1.jpg", 20);
    fs::permissions(home.pictures() / "0.jpg", fs::perms::owner_read);
    const std::map<std::string, std::string> before = {
        {"0.jpg", readFile(home.pictures() / "0.jpg")},
        {"sub/1.jpg", readFile(home.pictures() / "sub" / "1.jpg")}};
    RunOptions options;
    options.environment = home.environment();
    options.workingDirectory = home.pictures();
    const BridgeRun run = runBridge({"scan", c.folder(home)}, options);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    ASSERT_FALSE(run.lines.empty());
    ASSERT_EQ(run.lines.back()["items"].size(), 2u) << run.out;
    for (const json& item : run.lines.back()["items"]) EXPECT_TRUE(item.contains("dhash_string"));
    std::map<std::string, std::string> after;
    for (const auto& entry : fs::recursive_directory_iterator(home.pictures())) {
      if (entry.is_regular_file()) {
        after[entry.path().lexically_relative(home.pictures()).string()] = readFile(entry.path());
      }
    }
    EXPECT_TRUE(after == before) << after.size() << " files";
  }
}

// The scan owns the names N.jpg of its preview folder, but removes only the
// files it wrote there itself and nobody changed since: an asset without a
// preview does not keep an earlier scan's file of its number, and numbers
// past the library's end go. A folder that is not the application's own
// (~/Downloads with the user's 100.jpg and 2023.jpg) loses nothing, and
// neither does a preview the user replaced. The record of what was written
// does not need the scan cache.
TEST(ScanFaults, OnlyPreviewsTheScanWroteAndNobodyChangedAreRemoved) {
  TestHome home;
  RunOptions options;
  options.environment = home.environment();
  options.environment["VELMORA_SCAN_CACHE"] = "off";
  const fs::path previews = home.scratch() / "previews";
  fs::create_directories(previews);
  for (const char* name : {"100.jpg", "2023.jpg", "07.jpg", "notes.txt"}) {
    writeFile(previews / name, "the user's");
  }
  for (int i = 0; i < 12; ++i) writeFlatJpeg(home.pictures() / ("p" + std::to_string(10 + i) + ".jpg"), i * 10);
  ASSERT_EQ(runBridge({"scan", previews.string()}, options).status, 0);
  ASSERT_TRUE(fs::exists(previews / "11.jpg"));

  // The library shrinks to one photo and one file without a picture; the
  // user saves a picture of their own as 5.jpg, and edits 7.jpg in place.
  for (int i = 0; i < 12; ++i) fs::remove(home.pictures() / ("p" + std::to_string(10 + i) + ".jpg"));
  writeFlatJpeg(home.pictures() / "a.jpg", 10);
  writeFile(home.pictures() / "b.jpg", "no picture");
  fs::remove(previews / "5.jpg");
  writeFile(previews / "5.jpg", "the user's own 5");
  {
    std::ofstream edit(previews / "7.jpg", std::ios::app);
    edit << "edited";
  }
  const BridgeRun run = runBridge({"scan", previews.string()}, options);
  EXPECT_EQ(run.status, 0);
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(previews)) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"0.jpg", "5.jpg", "7.jpg", "100.jpg", "2023.jpg",
                                          "07.jpg", "notes.txt"}));
  EXPECT_EQ(readFile(previews / "100.jpg"), "the user's");
  EXPECT_EQ(readFile(previews / "5.jpg"), "the user's own 5");

  // A folder the scan never wrote into keeps every name.
  const fs::path downloads = home.scratch() / "Downloads";
  for (const char* name : {"1.jpg", "100.jpg", "2023.jpg"}) writeFile(downloads / name, "mine");
  EXPECT_EQ(runBridge({"scan", downloads.string()}, options).status, 0);
  for (const char* name : {"1.jpg", "100.jpg", "2023.jpg"}) {
    EXPECT_EQ(readFile(downloads / name), "mine") << name;
  }
}

// A bind mount shows a folder of the library under another path, where
// walking up never meets the pictures folder: by device and inode it is
// still the library's, and gets no previews. So does a folder that holds
// the pictures folder.
TEST(ScanFaults, PreviewFoldersThatAreTheLibrarysByIdentityGetNothing) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to bind-mount";
  TestHome home;
  writeFlatJpeg(home.pictures() / "2023" / "0.jpg", 10);
  writeFlatJpeg(home.pictures() / "2023" / "100.jpg", 20);
  fs::create_directories(home.pictures() / "2023" / "sub");
  const fs::path mounted = home.scratch() / "mnt";
  fs::create_directories(mounted);
  if (::mount((home.pictures() / "2023").c_str(), mounted.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot bind-mount here";
  }
  const std::map<std::string, std::string> before = {
      {"0.jpg", readFile(home.pictures() / "2023" / "0.jpg")},
      {"100.jpg", readFile(home.pictures() / "2023" / "100.jpg")}};
  for (const fs::path& folder : {mounted, mounted / "sub", home.home()}) {
    SCOPED_TRACE(folder.string());
    const BridgeRun run = runBridge({"scan", folder.string()}, home);
    EXPECT_EQ(run.status, 0);
    ASSERT_FALSE(run.lines.empty());
    ASSERT_EQ(run.lines.back()["items"].size(), 2u) << run.out;
    for (const json& item : run.lines.back()["items"]) EXPECT_TRUE(item.contains("dhash_string"));
    std::map<std::string, std::string> after;
    for (const auto& entry : fs::recursive_directory_iterator(home.pictures() / "2023")) {
      if (entry.is_regular_file()) after[entry.path().filename().string()] = readFile(entry.path());
    }
    EXPECT_TRUE(after == before) << after.size() << " files";
    EXPECT_FALSE(fs::exists(home.home() / "0.jpg"));
  }
  ::umount2(mounted.c_str(), MNT_DETACH);
}

TEST(ScanFaults, HostileImagesBesideGoodOnesGetRecordsAndStopNothing) {
  TestHome home;
  writeFlatJpeg(home.pictures() / "good-1.jpg", 10);
  // A PNG declaring 100000 x 100000 pixels, a text-chunk bomb, a truncated
  // JPEG, a video with nothing inside, broken RAW files, and a FIFO named
  // like a photo.
  writeFile(home.pictures() / "huge.png", pngDeclaring(100000, 100000));
  writeFile(home.pictures() / "huge.jpg", jpegDeclaring(65500, 65500));
  writeFile(home.pictures() / "bomb.png", pngTextBomb());
  std::string jpeg = readFile(home.pictures() / "good-1.jpg");
  writeFile(home.pictures() / "truncated.jpg", jpeg.substr(0, jpeg.size() / 2));
  writeFile(home.pictures() / "empty.mp4", "");
  // RAW files for LibRaw: one cut inside its headers, one that is noise,
  // one whose preview claims a gigabyte.
  DngFile dng;
  dng.previewJpeg = jpeg;
  writeFile(home.pictures() / "cut.CR3", dngBytes(dng).substr(0, 300));
  writeFile(home.pictures() / "noise.NEF", std::string(4096, '\x5a'));
  dng.claimedPreviewBytes = 1u << 30;
  dng.unknownToExiv2 = true;
  writeDng(home.pictures() / "liar.DNG", dng);
  ASSERT_EQ(::mkfifo((home.pictures() / "fifo.jpg").c_str(), 0600), 0);
  writeFlatJpeg(home.pictures() / "good-2.jpg", 20);
  const fs::path previews = home.scratch() / "previews";
  fs::create_directories(previews);

  const auto previewFiles = [&] {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(previews)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  };
  std::set<std::string> written;
  for (const bool parentStopsReading : {false, true}) {
    SCOPED_TRACE(parentStopsReading ? "parent stops reading" : "parent reads");
    RunOptions options;
    options.environment = home.environment();
    options.closeStdoutEarly = parentStopsReading;
    const BridgeRun run = runBridge({"scan", previews.string()}, options);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    if (parentStopsReading) {
      // The whole scan ran: the same previews as when the parent reads.
      EXPECT_EQ(previewFiles(), written);
      continue;
    }
    written = previewFiles();
    EXPECT_EQ(written.size(), 2u);  // the two good photos
    ASSERT_FALSE(run.lines.empty());
    const json& result = run.lines.back();
    ASSERT_TRUE(result.contains("items")) << run.out;
    std::map<std::string, json> byName;
    for (const json& item : result["items"]) byName[item["name"].get<std::string>()] = item;
    EXPECT_EQ(byName.size(), 10u) << run.out;  // a FIFO is no photo
    EXPECT_FALSE(byName.contains("fifo.jpg"));
    EXPECT_TRUE(byName["good-1.jpg"].contains("dhash_string"));
    EXPECT_TRUE(byName["good-2.jpg"].contains("dhash_string"));
    EXPECT_FALSE(byName["huge.png"].contains("dhash_string"));
    EXPECT_FALSE(byName["bomb.png"].contains("dhash_string"));
    EXPECT_FALSE(byName["huge.jpg"].contains("dhash_string"));
    for (const char* raw : {"cut.CR3", "noise.NEF", "liar.DNG"}) {
      EXPECT_FALSE(byName[raw].contains("dhash_string")) << raw;
    }
    EXPECT_EQ(byName["liar.DNG"]["width"], 256);  // its headers are fine
    fs::remove_all(previews);
    fs::create_directories(previews);
  }
}

}  // namespace
}  // namespace velmora::testing
