// `scan` when the file system fails it from outside: a folder of the
// library that becomes unreadable while the scan runs, and a preview folder
// on a file system that fills up or is mounted read-only. The scan ends
// with status 0 and a whole record for every asset; nothing it could not
// finish is left on disk. These need root (to run the bridge as another
// user, to mount) and skip themselves otherwise.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <vips/vips8>

#include "bridge/messages.h"
#include "base/vips.h"
#include "support/sample_files.h"
#include "support/bridge_runner.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

void chownTree(const fs::path& root, uid_t uid, gid_t gid) {
  ASSERT_EQ(::lchown(root.c_str(), uid, gid), 0);
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    ASSERT_EQ(::lchown(entry.path().c_str(), uid, gid), 0) << entry.path();
  }
}

const json& finalLine(const BridgeRun& run) {
  static const json none;
  return run.lines.empty() ? none : run.lines.back();
}

TEST(ScanFileSystemFaults, AFolderThatBecomesUnreadableMidScanGivesWarningsForItsAssets) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the bridge as another user";
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user 'nobody'";
  const RunOptions::User user{nobody->pw_uid, nobody->pw_gid};

  TestHome home;
  // The assets go in path order: the top-level photos, large enough to
  // keep the workers busy for a while, come before those in "later/".
  for (const char* name : {"a-1.jpg", "a-2.jpg", "a-3.jpg", "a-4.jpg"}) {
    writeNoiseJpeg(home.pictures() / name, 1600, 1200);
  }
  const std::set<std::string> late = {"later-1.jpg", "later-2.jpg", "later-3.jpg"};
  for (const std::string& name : late) writeNoiseJpeg(home.pictures() / "later" / name, 64, 48);
  const fs::path previews = home.scratch() / "previews";
  fs::create_directories(previews);
  chownTree(home.home().parent_path(), user.uid, user.gid);

  RunOptions options;
  options.environment = home.environment();
  options.runAs = user;
  bool madeUnreadable = false;
  options.onLine = [&](const std::string& line) {
    if (!madeUnreadable && line.find("\"progress\"") != std::string::npos) {
      madeUnreadable = ::chmod((home.pictures() / "later").c_str(), 0) == 0;
    }
  };
  const BridgeRun run = runBridge({"scan", previews.string()}, options);
  ASSERT_TRUE(madeUnreadable);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(run.allLinesParsed);
  const json& result = finalLine(run);
  ASSERT_TRUE(result.contains("items")) << run.out;
  ASSERT_EQ(result["items"].size(), 7u) << run.out;
  std::vector<std::string> warnings;
  for (const json& item : result["items"]) {
    const std::string name = item["name"].get<std::string>();
    SCOPED_TRACE(name);
    if (late.contains(name)) {
      EXPECT_FALSE(item.contains("hash"));
      EXPECT_EQ(item["size_known"], 0);
      EXPECT_FALSE(item.contains("dhash_string"));  // no preview either
      warnings.push_back(name + bridge::messages::scanWarningSuffix);
    } else {
      EXPECT_TRUE(item.contains("hash"));
      EXPECT_EQ(item["size_known"], 1);
      EXPECT_TRUE(item.contains("dhash_string"));
    }
  }
  EXPECT_EQ(result["errors"], json(warnings));
}

// Folders the scan cannot look into from the start: their photos cannot be
// listed, and a warning per folder says that part of the library was not
// seen.
TEST(ScanFileSystemFaults, FoldersUnreadableFromTheStartAreNamedInTheWarnings) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the bridge as another user";
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user 'nobody'";
  TestHome home;
  writeFlatJpeg(home.pictures() / "seen.jpg", 40);
  writeFlatJpeg(home.pictures() / "Locked" / "hidden.jpg", 50);
  writeFlatJpeg(home.pictures() / "2024" / "Privat ä" / "hidden.jpg", 60);
  chownTree(home.home().parent_path(), nobody->pw_uid, nobody->pw_gid);
  ASSERT_EQ(::chmod((home.pictures() / "Locked").c_str(), 0), 0);
  ASSERT_EQ(::chmod((home.pictures() / "2024" / "Privat ä").c_str(), 0), 0);
  RunOptions options;
  options.environment = home.environment();
  options.runAs = RunOptions::User{nobody->pw_uid, nobody->pw_gid};
  const BridgeRun run = runBridge({"scan", (home.scratch() / "none").string()}, options);
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.err, "");
  const json& result = finalLine(run);
  ASSERT_TRUE(result.contains("items")) << run.out;
  EXPECT_EQ(result["items"].size(), 1u);
  const std::string suffix = bridge::messages::unreadableFolderSuffix;
  EXPECT_EQ(result["errors"], json({"2024/Privat ä/" + suffix, "Locked/" + suffix}));
}

// A tmpfs of 200 KB mounted for one test; unmounted when the test ends,
// whatever happened.
class SmallTmpfs {
 public:
  SmallTmpfs(fs::path at, unsigned long flags) : at_(std::move(at)) {
    fs::create_directories(at_);
    mounted_ = ::mount("tmpfs", at_.c_str(), "tmpfs", flags, "size=200k") == 0;
  }
  ~SmallTmpfs() {
    if (mounted_ && ::umount(at_.c_str()) != 0) ::umount2(at_.c_str(), MNT_DETACH);
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  bool mounted() const { return mounted_; }

 private:
  fs::path at_;
  bool mounted_ = false;
};

TEST(ScanFileSystemFaults, PreviewsOnAFullOrReadOnlyFileSystemLeaveRecordsWholeAndNoScraps) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a file system";
  ASSERT_TRUE(base::ensureVips());  // the previews are decoded here too
  const fs::path photos = testdata() / "photos" / "orientation";
  TestHome home;
  for (int n = 1; n <= 8; ++n) {
    const std::string name = "Landscape_" + std::to_string(n) + ".jpg";
    fs::copy_file(photos / name, home.pictures() / name);
  }
  // The records and previews of a scan with room enough.
  const fs::path roomy = home.scratch() / "roomy";
  fs::create_directories(roomy);
  const BridgeRun reference = runBridge({"scan", roomy.string()}, home);
  ASSERT_EQ(reference.status, 0);
  const json& expected = finalLine(reference);
  ASSERT_TRUE(expected.contains("items")) << reference.out;
  ASSERT_EQ(expected["items"].size(), 8u);
  for (const json& item : expected["items"]) {
    for (const char* key : {"hash", "dhash_string", "sharpness", "variance", "qr", "qr_checked"}) {
      EXPECT_TRUE(item.contains(key)) << key << " in " << item.dump();
    }
  }

  for (const bool readOnly : {false, true}) {
    SCOPED_TRACE(readOnly ? "read-only" : "full");
    const fs::path folder = home.scratch() / (readOnly ? "read-only" : "full");
    const SmallTmpfs tmpfs(folder, readOnly ? MS_RDONLY : 0);
    if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";
    // Previews of an earlier scan into the same folder, which showed other
    // (small) photos under these numbers: none may survive beside a record
    // whose own preview could not be written.
    if (!readOnly) {
      TestHome earlier;
      RunOptions options;
      options.environment = home.environment();
      options.environment["HOME"] = earlier.home().string();  // its pictures, this data folder
      for (int id = 0; id < 8; ++id) writeFlatJpeg(earlier.pictures() / (std::to_string(id) + ".jpg"), id);
      ASSERT_EQ(runBridge({"scan", folder.string()}, options).status, 0);
      ASSERT_TRUE(fs::exists(folder / "7.jpg"));
    }
    const BridgeRun run = runBridge({"scan", folder.string()}, home);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    // Every measure comes from the rendered image, not from the file.
    EXPECT_EQ(finalLine(run), expected);

    std::size_t previews = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      SCOPED_TRACE(name);
      ASSERT_TRUE(fs::exists(roomy / name)) << "a scrap of a failed write";
      // Whole: the same bytes as with room enough, and they decode.
      EXPECT_EQ(readFile(entry.path()), readFile(roomy / name));
      EXPECT_NO_THROW(
          vips::VImage::new_from_file(
              entry.path().c_str(), vips::VImage::option()->set("fail_on", VIPS_FAIL_ON_TRUNCATED))
              .avg());
      ++previews;
    }
    if (readOnly) {
      EXPECT_EQ(previews, 0u);
    } else {
      EXPECT_GT(previews, 0u);
      EXPECT_LT(previews, 8u) << "the file system never filled up";
    }
  }
}

}  // namespace
}  // namespace velmora::testing
