// Files that change between enumeration and reading: the library hands out
// what is there when it reads, reports what is gone as not available, and
// never blocks or crashes on what took a file's place.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <cstdlib>
#include <functional>

#include "bridge/photos/disk_library.h"
#include "inventory/fingerprint.h"
#include "support/temp_dir.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> readAll(photos::PhotoLibrary& library, const photos::Resource& resource) {
  std::string bytes;
  const bool complete = library.readResource(resource, [&](std::span<const std::byte> chunk) {
    bytes.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
  });
  if (!complete) return std::nullopt;
  return bytes;
}

TEST(ChangingFiles, ReadingSeesTheFileAsItIsNowOrReportsItMissing) {
  const std::string original(3 << 20, 'x');  // a few chunks
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> change;
    std::optional<std::string> expected;  // the bytes read; none: not available
  };
  const std::vector<Case> cases = {
      {"shrinks", [](const fs::path& f) { fs::resize_file(f, 5); }, std::string(5, 'x')},
      {"grows", [&](const fs::path& f) { writeFile(f, original + "tail"); }, original + "tail"},
      {"empties", [](const fs::path& f) { fs::resize_file(f, 0); }, std::string()},
      {"disappears", [](const fs::path& f) { fs::remove(f); }, std::nullopt},
      {"becomes a fifo",
       [](const fs::path& f) {
         fs::remove(f);
         ASSERT_EQ(::mkfifo(f.c_str(), 0600), 0);
       },
       std::nullopt},
      {"becomes a folder",
       [](const fs::path& f) {
         fs::remove(f);
         fs::create_directory(f);
       },
       std::nullopt},
      {"becomes a dangling link",
       [](const fs::path& f) {
         fs::remove(f);
         fs::create_symlink("nowhere", f);
       },
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    writeFile(dir / "DCIM/IMG_0001.JPG", original);
    writeFile(dir / "DCIM/IMG_0001.MOV", "video");
    photos::DiskLibrary library(dir.path());
    const std::vector<photos::Asset> assets = library.fetchAll();
    ASSERT_EQ(assets.size(), 1u);
    const photos::Asset& asset = assets.front();
    ASSERT_EQ(asset.resources.size(), 2u);

    c.change(dir / "DCIM/IMG_0001.JPG");

    EXPECT_EQ(readAll(library, asset.resources.front()), c.expected);
    std::uint64_t size = 0;
    const std::optional<std::string> hash = inventory::resourceHash(library, asset, size);
    EXPECT_EQ(hash.has_value(), c.expected.has_value());
    // Attributes and the preview of a changed file are quiet answers.
    library.attributes(asset);
    library.requestImage(asset, 600, 600);
    // The other resource of the asset is untouched.
    EXPECT_EQ(readAll(library, asset.resources.back()), "video");
  }
}

// A file written to while it is read (a video still being copied in, a
// file that another program keeps extending): the bytes read are no state
// the file was ever in, so it counts as not read fully. The read never goes
// past the size the file had when it was opened, so it also ends.
TEST(ChangingFiles, AFileWrittenWhileItIsReadIsNotReadFully) {
  struct Case {
    const char* what;
    std::size_t size;
    bool inPlace;  // rewritten at the same size instead of extended
  };
  const std::vector<Case> cases = {
      {"a small file that grows", 1 << 20, false},
      {"a large file that grows", 16 << 20, false},
      {"a large file rewritten in place", 16 << 20, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    writeFile(dir / "clip.mov", std::string(c.size, 'v'));
    photos::DiskLibrary library(dir.path());
    const std::vector<photos::Asset> assets = library.fetchAll();
    ASSERT_EQ(assets.size(), 1u);
    const int writer = ::open((dir / "clip.mov").c_str(), O_WRONLY | O_APPEND);
    const int rewriter = ::open((dir / "clip.mov").c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    ASSERT_GE(rewriter, 0);
    std::size_t delivered = 0;
    int chunks = 0;
    const bool complete =
        library.readResource(assets[0].resources[0], [&](std::span<const std::byte> chunk) {
          delivered += chunk.size();
          // Each of the first chunks is followed by more bytes, as long as
          // the reader lets them be; a reader that follows them never ends.
          if (++chunks > 64) return;
          if (c.inPlace) {
            if (chunks > 1) return;
            ::usleep(20000);  // past the clock tick of the file's modification time
            ASSERT_EQ(::pwrite(rewriter, "w", 1, 0), 1);
          } else {
            const std::string more(1 << 20, 'm');
            ASSERT_EQ(::write(writer, more.data(), more.size()), static_cast<ssize_t>(more.size()));
          }
        });
    ::close(writer);
    ::close(rewriter);
    EXPECT_FALSE(complete);
    EXPECT_LE(delivered, c.size);
    std::uint64_t size = 0;
    EXPECT_TRUE(inventory::resourceHash(library, assets[0], size).has_value());  // quiet now
  }
}

TEST(ChangingFiles, AFolderThatVanishesAfterEnumerationNamesNothing) {
  TempDir dir;
  writeFile(dir / "2023/a.jpg", "a");
  writeFile(dir / "b.jpg", "b");
  photos::DiskLibrary library(dir.path());
  const std::vector<photos::Asset> assets = library.fetchAll();
  ASSERT_EQ(assets.size(), 2u);
  fs::rename(dir / "2023", dir / "2024");
  EXPECT_TRUE(library.fetchByIdentifiers({"2023/a.jpg"}).empty());
  EXPECT_EQ(readAll(library, assets.front().resources.front()), std::nullopt);
  // A change for the vanished asset is refused as a whole: b stays. Should
  // it go wrong, it goes wrong in a trash of the test's own.
  const char* previous = std::getenv("XDG_DATA_HOME");
  const std::string saved = previous != nullptr ? previous : "";
  ::setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  const photos::ChangeResult change = library.deleteAssets(assets);
  if (previous != nullptr) {
    ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_DATA_HOME");
  }
  EXPECT_FALSE(change.succeeded);
  EXPECT_TRUE(fs::exists(dir / "b.jpg"));
  EXPECT_TRUE(fs::exists(dir / "2024/a.jpg"));
}

}  // namespace
}  // namespace velmora::testing
