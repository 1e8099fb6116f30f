// The scan cache attacked from outside: damaged, planted, locked, read-only,
// full, shared by two bridges, left behind by a killed one. Whatever state
// it is in, a scan gives exactly the lines and preview files of a scan
// without it, and nothing on standard error.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>

#include "base/sqlite.h"
#include "inventory/scan_cache.h"
#include "support/bridge_runner.h"
#include "support/sample_files.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

struct Scan {
  BridgeRun run;
  std::map<std::string, std::string> previews;
};

class ScanCacheFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 0; n < 6; ++n) {
      // Large enough that a scan is still at work when it is killed.
      writeNoiseJpeg(home.pictures() / ("IMG_" + std::to_string(n) + ".jpg"), 1200 + 40 * n, 900);
    }
    // Root passes every permission check; the bridge runs as another user
    // then, so that a read-only cache is read-only to it.
    if (::geteuid() == 0) {
      const passwd* nobody = ::getpwnam("nobody");
      if (nobody == nullptr) GTEST_SKIP() << "no user 'nobody'";
      user = RunOptions::User{nobody->pw_uid, nobody->pw_gid};
    }
    ::sleep(3);  // files changed within two seconds are not kept
    expected = scan("reference", false);
    ASSERT_EQ(expected.run.lines.size(), 7u) << expected.run.out;
  }

  void handOver(const fs::path& root) {
    if (!user) return;
    ASSERT_EQ(::lchown(root.c_str(), user->uid, user->gid), 0);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      ASSERT_EQ(::lchown(entry.path().c_str(), user->uid, user->gid), 0) << entry.path();
    }
  }

  RunOptions options(const fs::path& cacheHome, bool cached) {
    RunOptions result;
    result.environment = home.environment();
    result.environment["XDG_CACHE_HOME"] = cacheHome.string();
    if (!cached) result.environment["VELMORA_SCAN_CACHE"] = "off";
    result.runAs = user;
    return result;
  }

  Scan collect(BridgeRun run, const fs::path& previews) {
    Scan result{std::move(run), {}};
    for (const auto& entry : fs::directory_iterator(previews)) {
      result.previews[entry.path().filename()] = readFile(entry.path());
    }
    return result;
  }

  fs::path previewFolder(const std::string& name) {
    const fs::path previews = home.scratch() / name;
    fs::remove_all(previews);
    fs::create_directories(previews);
    handOver(home.home().parent_path());
    return previews;
  }

  Scan scan(const std::string& name, bool cached = true, const fs::path& cacheHome = fs::path()) {
    const fs::path previews = previewFolder(name);
    return collect(runBridge({"scan", previews.string()},
                             options(cacheHome.empty() ? cacheRoot() : cacheHome, cached)),
                   previews);
  }

  void expectAsWithout(const Scan& actual) {
    EXPECT_FALSE(actual.run.timedOut);
    EXPECT_EQ(actual.run.status, 0);
    EXPECT_EQ(actual.run.err, "");
    EXPECT_EQ(actual.run.out, expected.run.out);
    EXPECT_EQ(actual.previews, expected.previews);
  }

  fs::path cacheRoot() const { return home.scratch() / "cache-home"; }
  fs::path cacheFile() const {
    return cacheRoot() / "velmora-bridge" / inventory::scanCacheFileName;
  }

  TestHome home;
  std::optional<RunOptions::User> user;
  Scan expected;
};

TEST_F(ScanCacheFaults, ADamagedOrPlantedCacheLeavesTheScanAsWithoutOne) {
  expectAsWithout(scan("fill"));
  ASSERT_TRUE(fs::exists(cacheFile()));
  const std::string filled = readFile(cacheFile());
  const fs::path victim = home.scratch() / "victim";

  struct Case {
    const char* what;
    std::function<void()> plant;
  };
  const std::vector<Case> cases = {
      {"missing, with its parents", [&] { fs::remove_all(cacheRoot()); }},
      {"cut short", [&] { writeFile(cacheFile(), filled.substr(0, filled.size() / 3)); }},
      {"garbage", [&] { writeFile(cacheFile(), std::string(filled.size(), '\x5a')); }},
      {"a folder in the file's place",
       [&] {
         fs::remove(cacheFile());
         fs::create_directories(cacheFile() / "inside");
       }},
      {"a symlink in the file's place",
       [&] {
         fs::remove(cacheFile());
         fs::create_symlink(victim, cacheFile());
       }},
      {"a symlink in the folder's place",
       [&] {
         fs::remove_all(cacheRoot() / "velmora-bridge");
         fs::create_directories(victim.parent_path() / "victim-folder");
         fs::create_symlink(victim.parent_path() / "victim-folder", cacheRoot() / "velmora-bridge");
       }},
      {"read-only",
       [&] {
         fs::permissions(cacheFile(), fs::perms::owner_read);
         fs::permissions(cacheFile().parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
       }},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.what);
    fs::remove_all(cacheRoot());
    fs::remove_all(victim.parent_path() / "victim-folder");
    writeFile(cacheFile(), filled);
    writeFile(victim, "someone else's file");
    handOver(cacheRoot());
    item.plant();
    // Twice: the first scan may start the file afresh, the second uses it.
    expectAsWithout(scan("first"));
    expectAsWithout(scan("second"));
    EXPECT_EQ(readFile(victim), "someone else's file");
    if (fs::exists(victim.parent_path() / "victim-folder")) {
      EXPECT_TRUE(fs::is_empty(victim.parent_path() / "victim-folder"));
    }
    fs::permissions(cacheFile().parent_path(), fs::perms::owner_all, fs::perm_options::add);
  }
}

TEST_F(ScanCacheFaults, ACacheLockedPastTheTimeoutIsLeftAlone) {
  expectAsWithout(scan("fill"));
  base::SqliteDatabase holder;
  ASSERT_EQ(holder.open(cacheFile().string()), SQLITE_OK);
  ASSERT_EQ(holder.execute("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"
                           "DELETE FROM asset_entry WHERE asset_id = 'none'"),
            SQLITE_OK);
  base::SqliteDatabase other;
  ASSERT_EQ(other.open(cacheFile().string()), SQLITE_OK);
  EXPECT_EQ(other.execute("SELECT count(*) FROM asset_entry") & 0xff, SQLITE_BUSY);
  other.close();

  expectAsWithout(scan("locked"));
  ASSERT_EQ(holder.execute("COMMIT"), SQLITE_OK);
  holder.close();
  expectAsWithout(scan("unlocked"));
}

TEST_F(ScanCacheFaults, TwoBridgesAtOnceAndAKilledOneLeaveAWorkingCache) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::vector<Scan> scans(2);
    const fs::path first = previewFolder("first");
    const fs::path second = previewFolder("second");
    std::thread other([&] {
      scans[1] = collect(runBridge({"scan", second.string()}, options(cacheRoot(), true)), second);
    });
    scans[0] = collect(runBridge({"scan", first.string()}, options(cacheRoot(), true)), first);
    other.join();
    expectAsWithout(scans[0]);
    expectAsWithout(scans[1]);
  }

  // Killed while it works, three lines in, beside another that finishes.
  RunOptions killed = options(cacheRoot(), true);
  killed.killAfterLines = 3;
  fs::remove_all(cacheRoot());
  const fs::path first = previewFolder("first");
  const fs::path second = previewFolder("second");
  std::thread other([&] { runBridge({"scan", first.string()}, killed); });
  const Scan beside =
      collect(runBridge({"scan", second.string()}, options(cacheRoot(), true)), second);
  other.join();
  expectAsWithout(beside);
  expectAsWithout(scan("after"));
  expectAsWithout(scan("warm"));
}

TEST_F(ScanCacheFaults, ACacheOnAFullFileSystemOnlyKeepsLess) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a file system";
  fs::create_directories(cacheRoot());
  if (::mount("tmpfs", cacheRoot().c_str(), "tmpfs", 0, "size=400k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here";
  }
  struct Unmount {
    fs::path at;
    ~Unmount() {
      if (::umount(at.c_str()) != 0) ::umount2(at.c_str(), MNT_DETACH);
    }
  } unmount{cacheRoot()};
  handOver(cacheRoot());
  for (const char* run : {"filling", "full", "again"}) {
    SCOPED_TRACE(run);
    expectAsWithout(scan(run));
  }
}

}  // namespace
}  // namespace velmora::testing
