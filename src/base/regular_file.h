#pragma once
// Opening a file the user's folders hold, without ever opening what is not
// a file. An open() of a FIFO waits for a writer, an open() of a device runs
// its driver, and a check before the open races with whatever takes the
// name in between. So the name is first opened with O_PATH, which reaches
// the inode and opens nothing; its type is checked on that descriptor; and
// only a regular file is then opened for reading, through /proc/self/fd,
// which names exactly that inode whatever happened to the path meanwhile.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace velmora::base {

// A descriptor open for reading (close-on-exec) on the regular file `path`
// names, following symlinks; the caller closes it. -1 when the path is
// missing, is no regular file (a folder, FIFO, socket or device), or may
// not be read. With `status`, the file's fstat as it was checked.
int openRegularFile(const std::string& path, struct stat* status = nullptr);

// Reads the whole regular file `path` into `out`. False (and `out` empty)
// when it is missing, not a regular file, larger than `limit` bytes, or
// cannot be read to its end.
bool readRegularFile(const std::string& path, std::string& out, std::uintmax_t limit);

// The most a request file (`delete`, `semantic`) may hold: far beyond any
// real request (a million items take about 160 MB), and parsing holds
// several times the file's size in memory.
inline constexpr std::uintmax_t maxRequestFileBytes = std::uintmax_t{256} << 20;

// Owns a descriptor (or -1) and closes it when it goes.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// A name under /proc/self/fd that opens the very file `fd` is open on, for
// libraries that take only names (Exiv2); it lasts as long as `fd` is open.
std::string descriptorPath(int fd);

}  // namespace velmora::base
