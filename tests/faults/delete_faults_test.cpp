// `delete` when the world around it fails: the parent stops reading before
// the answer, the trash cannot be created. The change completes or is
// undone as a whole, and the process still ends with its own status.
#include <gtest/gtest.h>

#include <filesystem>
#include <vips/vips8>

#include "bridge/messages.h"
#include "bridge/photos/disk_library.h"
#include "base/regular_file.h"
#include "base/vips.h"
#include "deletion/confirmation.h"
#include "deletion/delete_action.h"
#include "inventory/fingerprint.h"
#include "faults/interrupted_delete.h"
#include "bridge/photos/catalogs/catalog_fixtures.h"
#include "support/sample_files.h"
#include "support/bridge_runner.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>
#include <functional>
#include <random>

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string fingerprint(const fs::path& pictures, const std::string& id) {
  photos::DiskLibrary library(pictures);
  const std::vector<photos::Asset> found = library.fetchByIdentifiers({id});
  if (found.empty()) return "";
  std::uint64_t size = 0;
  return inventory::resourceHash(library, found.front(), size).value_or("");
}

fs::path request(const TestHome& home, const std::string& text) {
  const fs::path file = home.scratch() / "request.json";
  writeFile(file, text);
  return file;
}

TEST(DeleteFaults, AParentThatStopsReadingStillGetsTheWholeChange) {
  TestHome home;
  writeFlatJpeg(home.pictures() / "IMG_0001.JPG", 10, 16, 16);
  writeFile(home.pictures() / "IMG_0001.MOV", "paired video");
  writeFile(home.pictures() / "IMG_0001.xmp", "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>");
  const std::string hash = fingerprint(home.pictures(), "IMG_0001.JPG");
  RunOptions options;
  options.environment = home.environment();
  options.closeStdoutEarly = true;
  options.timeoutSeconds = 60;
  const BridgeRun run = runBridge(
      {"delete", request(home, R"({"ids": ["IMG_0001.JPG"], "checks": [{"id": "IMG_0001.JPG", )"
                                   R"("hash": ")" + hash + R"("}]})")
                     .string()},
      options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 0);  // not killed by SIGPIPE half way
  EXPECT_EQ(run.err, "");
  const fs::path trash = home.home() / ".local/share/Trash";
  for (const char* name : {"IMG_0001.JPG", "IMG_0001.MOV", "IMG_0001.xmp"}) {
    EXPECT_FALSE(fs::exists(home.pictures() / name)) << name;
    EXPECT_TRUE(fs::exists(trash / "files" / name)) << name;
    EXPECT_TRUE(fs::exists(trash / "info" / (std::string(name) + ".trashinfo"))) << name;
  }
}

TEST(DeleteFaults, AParentThatStopsReadingGetsTheRefusalAsStatus) {
  TestHome home;
  writeFlatJpeg(home.pictures() / "IMG_0001.JPG", 10, 16, 16);
  RunOptions options;
  options.environment = home.environment();
  options.closeStdoutEarly = true;
  const BridgeRun run = runBridge(
      {"delete", request(home, R"({"ids": ["IMG_0001.JPG"], "checks": [{"id": "IMG_0001.JPG", )"
                               R"("hash": "0"}]})")
                     .string()},
      options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(fs::exists(home.pictures() / "IMG_0001.JPG"));
}

TEST(DeleteFaults, ATrashThatCannotBeCreatedLeavesEveryFileInPlace) {
  TestHome home;
  writeFlatJpeg(home.pictures() / "IMG_0001.JPG", 10, 16, 16);
  writeFile(home.pictures() / "IMG_0001.MOV", "paired video");
  // The data folder is a file: no trash can be made below it, even by root.
  writeFile(home.home() / "data", "not a folder");
  RunOptions options;
  options.environment = home.environment();
  options.environment["XDG_DATA_HOME"] = (home.home() / "data").string();
  const BridgeRun run =
      runBridge({"delete", request(home, R"({"ids": ["IMG_0001.JPG"]})").string()}, options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "");
  ASSERT_EQ(run.lines.size(), 1u) << run.out;
  ASSERT_TRUE(run.lines[0].contains("error"));
  EXPECT_NE(run.lines[0]["error"].get<std::string>().find("IMG_0001"), std::string::npos)
      << run.out;
  EXPECT_TRUE(fs::exists(home.pictures() / "IMG_0001.JPG"));
  EXPECT_EQ(readFile(home.pictures() / "IMG_0001.MOV"), "paired video");
  EXPECT_EQ(readFile(home.home() / "data"), "not a folder");
}

// A rating that the user cannot read (the photo or its sidecar is not
// readable) may be five stars: the delete is refused as for a favourite,
// and nothing moves.
TEST(DeleteFaults, AFavouriteThatCannotBeReadIsNotDeleted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the bridge as another user";
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user 'nobody'";
  const std::string fiveStars =
      R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF )"
      R"(xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="" )"
      R"(xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmp:Rating="5"/></rdf:RDF></x:xmpmeta>)";
  struct Case {
    const char* what;
    std::function<bool(const fs::path& pictures)> make;  // false: cannot be made here
    bool deleted;
  };
  const std::vector<Case> cases = {
      {"a readable photo without a rating",
       [](const fs::path& p) { writeFlatJpeg(p / "IMG_1.JPG", 10); return true; }, true},
      {"an unreadable photo rated five stars by the desktop",
       [](const fs::path& p) {
         writeFlatJpeg(p / "IMG_1.JPG", 10);
         return ::setxattr((p / "IMG_1.JPG").c_str(), "user.baloo.rating", "10", 2, 0) == 0 &&
                ::chmod((p / "IMG_1.JPG").c_str(), 0) == 0;
       },
       false},
      {"an unreadable photo without a rating",
       [](const fs::path& p) {
         writeFlatJpeg(p / "IMG_1.JPG", 10);
         return ::chmod((p / "IMG_1.JPG").c_str(), 0) == 0;
       },
       false},
      {"an unreadable sidecar with five stars",
       [&](const fs::path& p) {
         writeFlatJpeg(p / "IMG_1.JPG", 10);
         writeFile(p / "IMG_1.xmp", fiveStars);
         return ::chmod((p / "IMG_1.xmp").c_str(), 0) == 0;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestHome home;
    for (const fs::path& folder : {home.home().parent_path(), home.home(), home.pictures()}) {
      ASSERT_EQ(::chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    if (!c.make(home.pictures())) continue;
    for (const auto& entry : fs::recursive_directory_iterator(home.home())) {
      ASSERT_EQ(::lchown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    }
    RunOptions options;
    options.environment = home.environment();
    options.runAs = RunOptions::User{nobody->pw_uid, nobody->pw_gid};
    const BridgeRun run =
        runBridge({"delete", request(home, R"({"ids": ["IMG_1.JPG"]})").string()}, options);
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run.lines.size(), 1u) << run.out;
    if (c.deleted) {
      EXPECT_EQ(run.lines[0], json({{"moved", 1}, {"errors", json::array()}}));
    } else {
      EXPECT_EQ(run.lines[0], json({{"error", bridge::messages::selectionHasFavorite}}));
      EXPECT_TRUE(fs::exists(home.pictures() / "IMG_1.JPG"));
    }
  }
}

// Stopped at random points of its change, by SIGKILL (then the next run
// puts back what was moved) or by SIGTERM (held until the change is whole):
// no asset is ever left half in the trash. bench/interrupted_delete_bench
// runs the same many more times.
TEST(DeleteFaults, AnInterruptedChangeNeverLeavesHalfAnAsset) {
  XDisplay display;
  if (display.name().empty()) GTEST_SKIP() << "no X server (Xvfb) could be started";
  constexpr int assets = 20;
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  // The journal, an info file and a move per file, the journal's removal.
  std::uniform_int_distribution<int> point(1, 6 * assets + 2);
  int interrupted = 0;
  for (int round = 0; round < 24; ++round) {
    const int signal = round % 4 == 3 ? SIGTERM : SIGKILL;
    const int events = point(random);
    SCOPED_TRACE("round " + std::to_string(round) + ", signal " + std::to_string(signal) +
                 " after " + std::to_string(events) + " events");
    ThreePartLibrary library(assets);
    const Interruption stop = interruptDelete(library, display, events, signal);
    ASSERT_TRUE(stop.confirmed) << "the alert did not appear";
    EXPECT_EQ(stop.run.err, "");
    if (stop.signalled) ++interrupted;
    if (signal == SIGTERM) {
      // Held: the change ends whole before the process does.
      const LibraryState now = inspect(library);
      EXPECT_EQ(now.half, 0);
      EXPECT_EQ(now.strayRecords, 0);
      EXPECT_FALSE(now.journalLeft);
    }
    const BridgeRun next = nextRun(library);
    EXPECT_EQ(next.lines.back(), json({{"error", bridge::messages::selectionChanged}}));
    const LibraryState after = inspect(library);
    EXPECT_EQ(after.half, 0);
    EXPECT_EQ(after.strayRecords, 0);
    EXPECT_FALSE(after.journalLeft);
    EXPECT_TRUE(after.whole == assets || after.trashed == assets)
        << after.whole << " in the library, " << after.trashed << " in the trash";
  }
  // Most rounds must have stopped the change itself, not missed it.
  EXPECT_GE(interrupted, 12);
}

// A confirmation dialog during which the library changes; then the user
// agrees.
struct ChangingConfirmation final : deletion::Confirmation {
  std::function<void()> change;
  bool confirm(unsigned long) override {
    change();
    return true;
  }
};

// The user rates a photo, or another program replaces or rewrites it, while
// the dialog is open: the change looks again under its lock, right before
// the first move, and moves nothing.
TEST(DeleteFaults, WhatChangesWhileTheDialogIsOpenMovesNothing) {
  const std::string fiveStars =
      R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF )"
      R"(xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="" )"
      R"(xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmp:Rating="5"/></rdf:RDF></x:xmpmeta>)";
  const auto replace = [](const fs::path& file) {
    writeFlatJpeg(file.string() + ".new", 200);
    fs::rename(file.string() + ".new", file);
  };
  const auto rewrite = [](const fs::path& file) {  // the same inode, new bytes
    std::ofstream(file, std::ios::app) << "appended";
  };
  struct Case {
    const char* what;
    bool checks;
    std::function<void(const fs::path& pictures)> change;
    const char* answer;
  };
  const std::vector<Case> cases = {
      {"rated five stars in its sidecar", false,
       [&](const fs::path& p) { writeFile(p / "IMG_0001.xmp", fiveStars); },
       bridge::messages::selectionHasFavorite},
      {"replaced by another picture", true, [&](const fs::path& p) { replace(p / "IMG_0002.JPG"); },
       bridge::messages::selectionChanged},
      {"rewritten in place", true, [&](const fs::path& p) { rewrite(p / "IMG_0002.JPG"); },
       bridge::messages::duplicateCheckChanged},
      {"rated five stars in Shotwell", false,
       [&](const fs::path& p) {
         runSql(p.parent_path() / ".local/share/shotwell/data/photo.db",
                "UPDATE PhotoTable SET rating = 5 WHERE filename LIKE '%/IMG_0002.JPG';");
       },
       bridge::messages::selectionHasFavorite},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestHome home;
    writeFlatJpeg(home.pictures() / "IMG_0001.JPG", 10);
    writeFile(home.pictures() / "IMG_0001.xmp", R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"/>)");
    writeFlatJpeg(home.pictures() / "IMG_0002.JPG", 20);
    const fs::path shotwell = home.home() / ".local/share/shotwell/data/photo.db";
    fs::create_directories(shotwell.parent_path());
    runSql(shotwell, std::string(shotwellSchema) +
                         "INSERT INTO PhotoTable (filename, flags, rating) VALUES ('" +
                         (home.pictures() / "IMG_0002.JPG").string() + "', 0, 0);");
    std::string text = R"({"ids": ["IMG_0001.JPG", "IMG_0002.JPG"])";
    if (c.checks) {
      text += R"(, "checks": [{"id": "IMG_0002.JPG", "hash": ")" +
              fingerprint(home.pictures(), "IMG_0002.JPG") + "\"}]";
    }
    const fs::path file = request(home, text + "}");
    const std::string data = (home.home() / ".local" / "share").string();
    const char* previous = std::getenv("XDG_DATA_HOME");
    const std::string saved = previous != nullptr ? previous : "";
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    photos::DiskLibrary library(home.pictures());
    ChangingConfirmation confirmation;
    confirmation.change = [&] { c.change(home.pictures()); };
    std::vector<json> lines;
    const int status = deletion::deleteAction({"velmora-bridge", "delete", file.string()}, library,
                                              [&](const json& line) { lines.push_back(line); },
                                              confirmation);
    if (previous != nullptr) {
      ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
    } else {
      ::unsetenv("XDG_DATA_HOME");
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(lines, std::vector<json>{json({{"error", c.answer}})});
    for (const char* name : {"IMG_0001.JPG", "IMG_0001.xmp", "IMG_0002.JPG"}) {
      EXPECT_TRUE(fs::exists(home.pictures() / name)) << name;
    }
    const fs::path trashFiles = home.home() / ".local" / "share" / "Trash" / "files";
    EXPECT_TRUE(!fs::exists(trashFiles) || fs::is_empty(trashFiles));
  }
}

// The data folder of the journal and the lock is narrowed to 0700; a lock
// that another process keeps (a stopped delete) costs a delete a bounded
// wait and a clear answer, and a scan that only wanted to put back an old
// change goes on without it.
TEST(DeleteFaults, AChangeLockThatIsNeverLetGoStopsNothingForEver) {
  TestHome home;
  writeFlatJpeg(home.pictures() / "IMG_0001.JPG", 10);
  const fs::path data = home.home() / ".local" / "share" / "velmora-bridge";
  fs::create_directories(data);
  ::chmod(data.c_str(), 0777);
  // A journal of a killed change, and the lock held by someone else.
  writeFile(data / "change.journal", "velmora-bridge change journal 2\nroot " +
                                         home.pictures().string() + "\nend\n");
  const base::UniqueFd lock(::open((data / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  ASSERT_TRUE(lock.valid());
  ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);

  RunOptions options;
  options.environment = home.environment();
  options.timeoutSeconds = 60;
  const BridgeRun scan = runBridge({"scan", ""}, options);
  EXPECT_FALSE(scan.timedOut);
  EXPECT_EQ(scan.status, 0);
  ASSERT_FALSE(scan.lines.empty());
  EXPECT_EQ(scan.lines.back()["items"].size(), 1u);
  EXPECT_TRUE(fs::exists(data / "change.journal"));  // for a later run
  struct stat status {};
  ASSERT_EQ(::stat(data.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);

  const BridgeRun removal =
      runBridge({"delete", request(home, R"({"ids": ["IMG_0001.JPG"]})").string()}, options);
  EXPECT_FALSE(removal.timedOut);
  EXPECT_EQ(removal.status, 1);
  EXPECT_EQ(removal.err, "");
  ASSERT_EQ(removal.lines.size(), 1u) << removal.out;
  EXPECT_NE(removal.lines[0].value("error", "").find("nichts wurde verschoben"), std::string::npos)
      << removal.out;
  EXPECT_TRUE(fs::exists(home.pictures() / "IMG_0001.JPG"));
}

// Whether process `pid` holds a flock (the change lock), as /proc/locks
// tells.
bool holdsFlock(pid_t pid) {
  std::ifstream locks("/proc/locks");
  std::string line;
  const std::string owner = " " + std::to_string(pid) + " ";
  while (std::getline(locks, line)) {
    if (line.find(" FLOCK ") != std::string::npos && line.find(owner) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Killed right after it took the change lock, while it reads the selection
// again (a photo of 512 MB to fingerprint), the delete has moved nothing and
// left no journal.
TEST(DeleteFaults, AKillDuringTheRecheckMovesNothing) {
  TestHome home;
  const fs::path photo = home.pictures() / "IMG_0001.JPG";
  writeFile(photo, "");
  fs::resize_file(photo, std::uintmax_t{512} << 20);
  writeFile(home.pictures() / "IMG_0001.xmp", R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"/>)");
  const fs::path file = request(home, R"({"ids": ["IMG_0001.JPG"], "checks": [{"id": "IMG_0001.JPG", "hash": ")" +
                                          fingerprint(home.pictures(), "IMG_0001.JPG") + "\"}]}");
  RunOptions options;
  options.environment = home.environment();
  std::thread watcher;
  std::atomic<bool> killed{false};
  options.started = [&](pid_t pid) {
    watcher = std::thread([&killed, pid] {
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
      while (std::chrono::steady_clock::now() < end) {
        if (holdsFlock(pid)) {
          ::kill(pid, SIGKILL);
          killed = true;
          return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    });
  };
  const BridgeRun run = runBridge({"delete", file.string()}, options);
  watcher.join();
  ASSERT_TRUE(killed.load()) << run.out;
  EXPECT_TRUE(run.lines.empty()) << run.out;
  EXPECT_EQ(fs::file_size(photo), std::uintmax_t{512} << 20);
  EXPECT_TRUE(fs::exists(home.pictures() / "IMG_0001.xmp"));
  EXPECT_FALSE(fs::exists(home.home() / ".local/share/velmora-bridge/change.journal"));
  const fs::path trashFiles = home.home() / ".local" / "share" / "Trash" / "files";
  EXPECT_TRUE(!fs::exists(trashFiles) || fs::is_empty(trashFiles));
}

}  // namespace
}  // namespace velmora::testing
