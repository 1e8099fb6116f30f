// Only regular files are ever opened: whatever else a name leads to is
// refused from its inode's type, without an open() that could wait on a
// FIFO or call into a device driver.
#include "base/regular_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "support/temp_dir.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

std::size_t openDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

TEST(RegularFile, OpensRegularFilesAndLinksToThemForReading) {
  TempDir dir;
  writeFile(dir / "photo.jpg", "jpeg bytes");
  fs::create_symlink("photo.jpg", dir / "link.jpg");
  for (const char* name : {"photo.jpg", "link.jpg"}) {
    SCOPED_TRACE(name);
    struct stat status {};
    const int fd = base::openRegularFile((dir / name).string(), &status);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_size, 10);
    // The descriptor is the checked inode, open for reading, not inherited
    // by child processes.
    struct stat opened {};
    ASSERT_EQ(::fstat(fd, &opened), 0);
    EXPECT_EQ(opened.st_ino, status.st_ino);
    EXPECT_EQ(opened.st_dev, status.st_dev);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    char bytes[16] = {};
    EXPECT_EQ(::read(fd, bytes, sizeof bytes), 10);
    EXPECT_STREQ(bytes, "jpeg bytes");
    ::close(fd);
  }
}

TEST(RegularFile, RefusesEverythingElseWithoutWaitingOrLeaking) {
  TempDir dir;
  writeFile(dir / "photo.jpg", "x");
  ASSERT_EQ(::mkfifo((dir / "fifo.jpg").c_str(), 0600), 0);  // no writer: open() would wait
  fs::create_directory(dir / "folder.jpg");
  fs::create_symlink("missing.jpg", dir / "dangling.jpg");
  fs::create_symlink("fifo.jpg", dir / "fifo-link.jpg");
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = (dir / "socket.jpg").string();
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  const std::size_t before = openDescriptors();
  for (const std::string& path :
       {(dir / "fifo.jpg").string(), (dir / "fifo-link.jpg").string(),
        (dir / "folder.jpg").string(), (dir / "dangling.jpg").string(),
        (dir / "missing.jpg").string(), socketPath, std::string("/dev/null"),
        std::string("/dev/zero"), (dir / "photo.jpg/inside").string(), std::string()}) {
    SCOPED_TRACE(path);
    struct stat status {};
    status.st_size = 12345;
    EXPECT_EQ(base::openRegularFile(path, &status), -1);
    EXPECT_EQ(status.st_size, 12345);  // left alone
  }
  if (::geteuid() != 0) {  // permission bits do not stop root
    fs::permissions(dir / "photo.jpg", fs::perms::none);
    EXPECT_EQ(base::openRegularFile((dir / "photo.jpg").string()), -1);
  }
  EXPECT_EQ(openDescriptors(), before);
  ::close(listener);
}

}  // namespace
}  // namespace velmora::testing
