// Moving files to the freedesktop.org Trash on real files: records a file
// manager can restore from, and all-or-nothing changes.
#include "bridge/photos/trash.h"

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

}  // namespace
}  // namespace velmora::testing
