// Moving files to the freedesktop.org Trash on real files: records a file
// manager can restore from, and all-or-nothing changes.
#include "bridge/photos/trash/trash.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <regex>

#include <sys/mount.h>

#include <atomic>
#include <thread>

#include "base/file_identity.h"
#include "base/regular_file.h"
#include "bridge/photos/disk_library.h"
#include "support/file_flags.h"
#include "support/temp_dir.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

// Points the home trash into a temporary folder for one test.
class TrashHome {
 public:
  TrashHome() {
    if (const char* old = std::getenv("XDG_DATA_HOME")) saved_ = old;
    ::setenv("XDG_DATA_HOME", (dir_.path() / "data").c_str(), 1);
  }
  ~TrashHome() {
    if (saved_) {
      ::setenv("XDG_DATA_HOME", saved_->c_str(), 1);
    } else {
      ::unsetenv("XDG_DATA_HOME");
    }
  }
  fs::path trash() const { return dir_.path() / "data" / "Trash"; }
  fs::path library() const { return dir_.path() / "Pictures"; }

 private:
  TempDir dir_;
  std::optional<std::string> saved_;
};

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

struct TrashEntry {
  fs::path file;     // in files/
  std::string path;  // Path=, unescaped
  std::string rawPath;
  std::string date;
};

// Reads the trash the way a file manager lists it: one entry per info file.
std::map<std::string, TrashEntry> listTrash(const fs::path& trash) {
  std::map<std::string, TrashEntry> entries;
  if (!fs::exists(trash / "info")) return entries;
  for (const auto& item : fs::directory_iterator(trash / "info")) {
    const std::string text = readFile(item.path());
    std::smatch match;
    TrashEntry entry;
    entry.file = trash / "files" / item.path().stem();
    if (text.rfind("[Trash Info]\n", 0) != 0) ADD_FAILURE() << text;
    if (std::regex_search(text, match, std::regex("\nPath=([^\n]*)\n"))) {
      entry.rawPath = match[1];
      entry.path = unescape(match[1]);
    }
    if (std::regex_search(text, match, std::regex("\nDeletionDate=([^\n]*)\n"))) {
      entry.date = match[1];
    }
    entries[entry.path] = entry;
  }
  return entries;
}

size_t countEntries(const fs::path& folder) {
  if (!fs::exists(folder)) return 0;
  return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
}


TEST(Trash, MovedFilesCarryRecordsAFileManagerRestoresFrom) {
  TrashHome home;
  const fs::path lib = home.library();
  const std::vector<std::pair<fs::path, std::string>> files = {
      {lib / "Urlaub 2023" / "Strand äöü #1.jpg", "jpeg bytes"},
      {lib / "Urlaub 2023" / "Strand äöü #1.MOV", "paired video"},
      {lib / "Urlaub 2023" / "Strand äöü #1.jpg.xmp", "<x:xmpmeta/>"},
      {lib / "a%20b;c?.png", "literal percent"},
  };
  for (const auto& [file, bytes] : files) writeFile(file, bytes);
  // Content stored elsewhere shows as a dangling link; the link itself moves.
  const fs::path link = lib / "annex.jpg";
  fs::create_symlink("../.git/annex/objects/nowhere", link);
  // A file of the same name trashed earlier keeps its place.
  writeFile(home.trash() / "files" / "Strand äöü #1.jpg", "older");
  writeFile(home.trash() / "info" / "Strand äöü #1.jpg.trashinfo",
            "[Trash Info]\nPath=/elsewhere/Strand.jpg\nDeletionDate=2020-01-01T00:00:00\n");

  std::vector<fs::path> request;
  for (const auto& [file, bytes] : files) request.push_back(file);
  request.push_back(link);
  request.push_back(lib / "Urlaub 2023" / ".." / "a%20b;c?.png");  // the same file again
  const photos::ChangeResult result = photos::trashFiles(request);
  ASSERT_TRUE(result.succeeded) << result.errorDescription.value_or("");

  std::map<std::string, TrashEntry> trash = listTrash(home.trash());
  EXPECT_EQ(trash.size(), files.size() + 2);
  for (const auto& [file, bytes] : files) {
    EXPECT_FALSE(fs::exists(fs::symlink_status(file))) << file;
    ASSERT_TRUE(trash.contains(file.string())) << file;
    const TrashEntry& entry = trash[file.string()];
    EXPECT_EQ(readFile(entry.file), bytes);
    EXPECT_TRUE(std::regex_match(entry.date, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)")));
    EXPECT_TRUE(std::regex_match(entry.rawPath, std::regex(R"([A-Za-z0-9/%._~-]+)")))
        << entry.rawPath;
  }
  EXPECT_EQ(trash[(lib / "Urlaub 2023" / "Strand äöü #1.jpg").string()].file.filename(),
            "Strand äöü #1.2.jpg");
  EXPECT_EQ(readFile(home.trash() / "files" / "Strand äöü #1.jpg"), "older");
  ASSERT_TRUE(trash.contains(link.string()));
  EXPECT_TRUE(fs::is_symlink(trash[link.string()].file));
  EXPECT_EQ(fs::read_symlink(trash[link.string()].file), "../.git/annex/objects/nowhere");

  // Restore as a file manager does: back to Path=, the record removed.
  for (const auto& [path, entry] : trash) {
    if (path == "/elsewhere/Strand.jpg") continue;
    fs::rename(entry.file, path);
    fs::remove(home.trash() / "info" / (entry.file.filename().string() + ".trashinfo"));
  }
  for (const auto& [file, bytes] : files) EXPECT_EQ(readFile(file), bytes);
  EXPECT_TRUE(fs::is_symlink(link));
}

TEST(Trash, OverlongNamesStillFitTheirInfoFile) {
  TrashHome home;
  std::string stem;
  while (stem.size() < 240) stem += "Überlänge-";
  const fs::path file = home.library() / (stem + ".jpeg");
  ASSERT_LE(file.filename().string().size(), 255u);
  writeFile(file, "long");
  const photos::ChangeResult result = photos::trashFiles({file});
  ASSERT_TRUE(result.succeeded) << result.errorDescription.value_or("");
  std::map<std::string, TrashEntry> trash = listTrash(home.trash());
  ASSERT_TRUE(trash.contains(file.string()));
  EXPECT_EQ(readFile(trash[file.string()].file), "long");
  EXPECT_EQ(trash[file.string()].file.extension(), ".jpeg");
}

TEST(Trash, AFailedMovePutsBackEveryFileAlreadyMoved) {
  struct Case {
    const char* what;
    // Prepares the third of four files so that it cannot be moved; false
    // when this machine cannot do that.
    std::function<bool(const fs::path& blocked)> block;
    std::function<void(const fs::path& blocked)> unblock;
  };
  const std::vector<Case> cases = {
      {"removed meanwhile", [](const fs::path& blocked) { return fs::remove(blocked); },
       [](const fs::path&) {}},
      {"immutable", [](const fs::path& blocked) { return setImmutable(blocked, true); },
       [](const fs::path& blocked) { setImmutable(blocked, false); }},
      {"read-only folder",
       [](const fs::path& blocked) {
         if (::geteuid() == 0) return false;  // root renames regardless
         fs::permissions(blocked.parent_path(), fs::perms::owner_read | fs::perms::owner_exec);
         return true;
       },
       [](const fs::path& blocked) {
         fs::permissions(blocked.parent_path(), fs::perms::owner_all);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TrashHome home;
    const fs::path lib = home.library();
    const std::vector<fs::path> files = {lib / "a" / "one.jpg", lib / "a" / "one.mov",
                                         lib / "b" / "two.jpg", lib / "c" / "three.jpg"};
    for (const fs::path& file : files) writeFile(file, file.filename().string());
    writeFile(home.trash() / "files" / "old.jpg", "old");
    writeFile(home.trash() / "info" / "old.jpg.trashinfo", "[Trash Info]\nPath=/old.jpg\n");
    if (!c.block(files[2])) {
      c.unblock(files[2]);
      continue;
    }
    const photos::ChangeResult result = photos::trashFiles(files);
    c.unblock(files[2]);

    EXPECT_FALSE(result.succeeded);
    ASSERT_TRUE(result.errorDescription);
    EXPECT_NE(result.errorDescription->find("„two.jpg“"), std::string::npos)
        << *result.errorDescription;
    for (const fs::path& file : {files[0], files[1], files[3]}) {
      EXPECT_EQ(readFile(file), file.filename().string());
    }
    EXPECT_EQ(countEntries(home.trash() / "files"), 1u);
    EXPECT_EQ(countEntries(home.trash() / "info"), 1u);
  }
}

TEST(Trash, AnUnusableTrashLeavesEveryFileInPlace) {
  TrashHome home;
  const fs::path file = home.library() / "keep.jpg";
  writeFile(file, "keep");
  writeFile(home.trash() / "files", "not a folder");
  const photos::ChangeResult result = photos::trashFiles({file});
  EXPECT_FALSE(result.succeeded);
  EXPECT_TRUE(result.errorDescription);
  EXPECT_EQ(readFile(file), "keep");
  EXPECT_EQ(countEntries(home.trash() / "info"), 0u);

  EXPECT_TRUE(photos::trashFiles({}).succeeded);
}

// A file on another file system than the home trash goes to its volume's
// trash, recorded relative to the volume's top folder. Needs a second,
// writable file system (/dev/shm is one on most machines).
TEST(Trash, FilesOnAnotherVolumeUseThatVolumesTrash) {
  TrashHome home;
  const fs::path volume = "/dev/shm";
  struct stat volumeInfo {};
  struct stat homeInfo {};
  struct stat aboveInfo {};
  fs::create_directories(home.library());
  if (::stat(volume.c_str(), &volumeInfo) != 0 || ::access(volume.c_str(), W_OK) != 0 ||
      ::stat(home.library().c_str(), &homeInfo) != 0 || volumeInfo.st_dev == homeInfo.st_dev ||
      ::stat(volume.parent_path().c_str(), &aboveInfo) != 0 ||
      aboveInfo.st_dev == volumeInfo.st_dev) {
    GTEST_SKIP() << "no second writable file system";
  }
  const fs::path trash = volume / (".Trash-" + std::to_string(::getuid()));
  struct stat sharedInfo {};
  if (fs::exists(trash) || (::lstat((volume / ".Trash").c_str(), &sharedInfo) == 0)) {
    GTEST_SKIP() << "the volume already has a trash of its own; not touching it";
  }
  char pattern[] = "/dev/shm/velmora-trash-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path folder = pattern;
  const fs::path file = folder / "Bild 1.jpg";
  writeFile(file, "on the other volume");

  const photos::ChangeResult result = photos::trashFiles({file});
  std::map<std::string, TrashEntry> entries = listTrash(trash);
  std::error_code ignored;
  fs::remove_all(trash, ignored);
  fs::remove_all(folder, ignored);

  ASSERT_TRUE(result.succeeded) << result.errorDescription.value_or("");
  const std::string relative = folder.filename().string() + "/Bild 1.jpg";
  ASSERT_TRUE(entries.contains(relative));
  EXPECT_EQ(entries[relative].file.parent_path(), trash / "files");
  EXPECT_EQ(countEntries(home.trash() / "files"), 0u);
}

// A folder of the path swapped for a symlink to an outside folder, over
// and over while deletes run: the file moved is always the library's, never
// the one the link leads to, and its record names where it really was.
TEST(Trash, AFolderSwappedForALinkLeadsNowhere) {
  TrashHome home;
  const fs::path lib = home.library();
  const fs::path outside = home.library().parent_path() / "outside";
  writeFile(outside / "x.jpg", "outside");
  fs::create_directories(lib / "sub");
  fs::create_symlink(outside, lib / "swap");
  // The real folder, whatever its name is at the moment.
  const base::UniqueFd real(::open((lib / "sub").c_str(), O_RDONLY | O_DIRECTORY));
  photos::DiskLibrary library(lib);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop) {
      ::renameat2(AT_FDCWD, (lib / "sub").c_str(), AT_FDCWD, (lib / "swap").c_str(),
                  RENAME_EXCHANGE);
    }
  });
  int moved = 0;
  for (int round = 0; round < 300; ++round) {
    const int file = ::openat(real.get(), "x.jpg", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::write(file, "library", 7), 7);
    ::close(file);
    const std::vector<photos::Asset> found = library.fetchByIdentifiers({"sub/x.jpg"});
    if (found.empty()) continue;
    if (library.deleteAssets(found).succeeded) ++moved;
    for (const auto& [path, entry] : listTrash(home.trash())) {
      EXPECT_EQ(readFile(entry.file), "library") << path;
      fs::remove(entry.file);
      fs::remove(home.trash() / "info" / (entry.file.filename().string() + ".trashinfo"));
    }
    ASSERT_EQ(readFile(outside / "x.jpg"), "outside") << "round " << round;
  }
  stop = true;
  swapper.join();
  EXPECT_GT(moved, 0);
}

// The library reached through "lnk/.." where lnk is a symlink: the kernel
// resolves ".." from the link's target, text normalisation from the link.
// The file that was resolved and checked moves, not its namesake.
TEST(Trash, APathThroughALinkAndDotDotMovesTheFileThatWasResolved) {
  TrashHome home;
  const fs::path top = home.library().parent_path();
  writeFile(top / "b" / "Pictures" / "x.jpg", "resolved");
  writeFile(top / "a" / "Pictures" / "x.jpg", "namesake");
  fs::create_directories(top / "b" / "sub");
  fs::create_directories(top / "a");
  fs::create_symlink(top / "b" / "sub", top / "a" / "lnk");
  photos::DiskLibrary library(top / "a" / "lnk" / ".." / "Pictures");
  const std::vector<photos::Asset> found = library.fetchByIdentifiers({"x.jpg"});
  ASSERT_EQ(found.size(), 1u);
  const photos::ChangeResult result = library.deleteAssets(found);
  ASSERT_TRUE(result.succeeded) << result.errorDescription.value_or("");
  EXPECT_EQ(readFile(top / "a" / "Pictures" / "x.jpg"), "namesake");
  EXPECT_FALSE(fs::exists(top / "b" / "Pictures" / "x.jpg"));
  std::map<std::string, TrashEntry> trash = listTrash(home.trash());
  ASSERT_TRUE(trash.contains((top / "b" / "Pictures" / "x.jpg").string()));
  EXPECT_EQ(readFile(trash[(top / "b" / "Pictures" / "x.jpg").string()].file), "resolved");
}

// A pictures folder bind-mounted from the same file system: rename() does
// not cross the mount, so the trash at the top of that mount is used.
TEST(Trash, ABindMountedFolderUsesTheTrashAtItsTop) {
  TrashHome home;
  const fs::path source = home.library().parent_path() / "real";
  const fs::path mounted = home.library();
  writeFile(source / "x.jpg", "bound");
  fs::create_directories(mounted);
  if (::mount(source.c_str(), mounted.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "cannot bind-mount here";
  }
  const photos::ChangeResult result = photos::trashFiles({mounted / "x.jpg"});
  const fs::path trash = mounted / (".Trash-" + std::to_string(::getuid()));
  std::map<std::string, TrashEntry> entries = listTrash(trash);
  ::umount2(mounted.c_str(), MNT_DETACH);
  ASSERT_TRUE(result.succeeded) << result.errorDescription.value_or("");
  ASSERT_TRUE(entries.contains("x.jpg"));
  EXPECT_EQ(countEntries(home.trash() / "files"), 0u);
  EXPECT_FALSE(fs::exists(source / "x.jpg"));
}

// The journal's last five fields for the file now at `path` (a rename moves
// its change time, so the journal leaves that out); zeros when none is there.
std::string journalIdentity(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return "0 0 0 0 0";
  base::FileIdentity identity = base::identityOf(status);
  identity.changed = 0;
  return base::identityText(identity);
}

// A journal left by a killed change is put back as far as the disk confirms
// it; whatever else it says (links out of the library, names with "..",
// entries whose info file names another place, another library) moves
// nothing.
TEST(Trash, AJournalMovesOnlyWhatTheTrashConfirms) {
  TrashHome home;
  const fs::path lib = home.library();
  const fs::path outside = lib.parent_path() / "outside";
  const fs::path trash = home.trash();
  const auto trashed = [&](const std::string& name, const std::string& bytes,
                           const std::string& recorded) {
    writeFile(trash / "files" / name, bytes);
    writeFile(trash / "info" / (name + ".trashinfo"),
              "[Trash Info]\nPath=" + recorded + "\nDeletionDate=2024-01-01T00:00:00\n");
  };
  fs::create_directories(lib / "a");
  fs::create_directories(outside);
  fs::create_symlink(outside, lib / "out");
  trashed("one.jpg", "one", (lib / "a" / "one.jpg").string());         // to put back
  trashed("two.jpg", "two", (outside / "two.jpg").string());           // through the link
  trashed("three.jpg", "three", "/etc/three.jpg");                     // names elsewhere
  trashed("four.jpg", "four", (lib / "a" / "four.jpg").string());      // info says a/, journal b/
  writeFile(trash / "info" / "five.jpg.trashinfo",                     // claimed, never moved
            "[Trash Info]\nPath=" + (lib / "five.jpg").string() + "\n");
  writeFile(trash / "info" / "seven.jpg.trashinfo", "");               // killed before written
  const auto move = [&](const std::string& folder, const std::string& name) {
    return "move 0 " + folder + " " + name + " " + name + " " +
           journalIdentity(trash / "files" / name) + "\n";
  };
  const std::string journal =
      "velmora-bridge change journal 2\nroot " + lib.string() + "\ntrash " + trash.string() +
      "\n" + move("a/", "one.jpg") + move("out/", "two.jpg") + move("../etc/", "three.jpg") +
      "move 0 a/ ../four.jpg four.jpg " + journalIdentity(trash / "files" / "four.jpg") + "\n" +
      move("", "five.jpg") + move("", "seven.jpg") + "move 7 a/ x x 0 0 0 0 0\nend\n";
  const fs::path journalFile = home.trash().parent_path() / "velmora-bridge" / "change.journal";
  writeFile(journalFile, journal);

  const base::UniqueFd root(::open(lib.c_str(), O_RDONLY | O_DIRECTORY));
  photos::finishInterruptedChange(root.get());
  EXPECT_EQ(readFile(lib / "a" / "one.jpg"), "one");
  EXPECT_FALSE(fs::exists(trash / "info" / "one.jpg.trashinfo"));
  EXPECT_FALSE(fs::exists(trash / "info" / "five.jpg.trashinfo"));
  EXPECT_FALSE(fs::exists(trash / "info" / "seven.jpg.trashinfo"));
  for (const char* name : {"two.jpg", "three.jpg", "four.jpg"}) {
    EXPECT_TRUE(fs::exists(trash / "files" / name)) << name;
    EXPECT_TRUE(fs::exists(trash / "info" / (std::string(name) + ".trashinfo"))) << name;
  }
  EXPECT_TRUE(fs::is_empty(outside));
  EXPECT_FALSE(fs::exists(journalFile));

  // The journal of another library moves nothing, and goes.
  trashed("six.jpg", "six", (lib / "six.jpg").string());
  writeFile(journalFile, "velmora-bridge change journal 2\nroot /elsewhere\ntrash " +
                             trash.string() + "\n" + move("", "six.jpg") + "end\n");
  photos::finishInterruptedChange(root.get());
  EXPECT_TRUE(fs::exists(trash / "files" / "six.jpg"));
  EXPECT_FALSE(fs::exists(lib / "six.jpg"));
  // So does one cut short before its end: nothing had moved yet.
  writeFile(journalFile, "velmora-bridge change journal 2\nroot " + lib.string() + "\ntrash " +
                             trash.string() + "\n" + move("", "six.jpg"));
  photos::finishInterruptedChange(root.get());
  EXPECT_TRUE(fs::exists(trash / "files" / "six.jpg"));
  EXPECT_FALSE(fs::exists(journalFile));
}

// After a kill the user restores the photo, replaces it with another and
// trashes that with another program, under the same name and place: the
// journal's replay leaves that other file in the Trash. A journal of the
// version before identities moves nothing.
TEST(Trash, AJournalPutsBackOnlyTheFilesItMoved) {
  TrashHome home;
  const fs::path lib = home.library();
  const fs::path trash = home.trash();
  writeFile(lib / "a.jpg", "the photo");
  writeFile(lib / "b.jpg", "another photo");
  const photos::ChangeResult moved = photos::trashFiles({lib / "a.jpg", lib / "b.jpg"});
  ASSERT_TRUE(moved.succeeded);
  const std::string entries = "move 0  a.jpg a.jpg " + journalIdentity(trash / "files" / "a.jpg") +
                              "\nmove 0  b.jpg b.jpg " +
                              journalIdentity(trash / "files" / "b.jpg") + "\n";
  // Restored, replaced by a new picture, trashed again (a new inode, the
  // same Trash entry and Path=).
  fs::rename(trash / "files" / "a.jpg", lib / "a.jpg");
  fs::remove(lib / "a.jpg");
  writeFile(trash / "files" / "a.jpg", "a new picture");
  const fs::path journalFile = trash.parent_path() / "velmora-bridge" / "change.journal";
  writeFile(journalFile, "velmora-bridge change journal 2\nroot " + lib.string() + "\ntrash " +
                             trash.string() + "\n" + entries + "end\n");

  const base::UniqueFd root(::open(lib.c_str(), O_RDONLY | O_DIRECTORY));
  photos::finishInterruptedChange(root.get());
  EXPECT_FALSE(fs::exists(lib / "a.jpg"));
  EXPECT_EQ(readFile(trash / "files" / "a.jpg"), "a new picture");
  EXPECT_TRUE(fs::exists(trash / "info" / "a.jpg.trashinfo"));
  EXPECT_EQ(readFile(lib / "b.jpg"), "another photo");  // still the file it moved
  EXPECT_FALSE(fs::exists(journalFile));

  writeFile(journalFile, "velmora-bridge change journal 1\nroot " + lib.string() + "\ntrash " +
                             trash.string() + "\nmove 0  a.jpg a.jpg\nend\n");
  photos::finishInterruptedChange(root.get());
  EXPECT_FALSE(fs::exists(lib / "a.jpg"));
  EXPECT_FALSE(fs::exists(journalFile));
}

}  // namespace
}  // namespace velmora::testing
