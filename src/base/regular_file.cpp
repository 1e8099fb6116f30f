#include "base/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace velmora::base {

int openRegularFile(const std::string& path, struct stat* status) {
  if (path.empty()) return -1;
  const int located = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (located < 0) return -1;
  struct stat checked {};
  int fd = -1;
  if (::fstat(located, &checked) == 0 && S_ISREG(checked.st_mode)) {
    // The magic link reopens the very inode that was checked; permissions
    // are checked again on the way, as for any open.
    fd = ::open(descriptorPath(located).c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  }
  ::close(located);
  if (fd >= 0 && status != nullptr) *status = checked;
  return fd;
}

bool readRegularFile(const std::string& path, std::string& out, std::uintmax_t limit) {
  out.clear();
  // A name with a NUL in it would be cut short by the system call.
  if (path.find('\0') != std::string::npos) return false;
  struct stat info {};
  const UniqueFd file(openRegularFile(path, &info));
  if (!file.valid()) return false;
  bool ok = static_cast<std::uintmax_t>(info.st_size) <= limit;
  if (ok) {
    out.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    for (;;) {
      const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ok = got == 0;
        break;
      }
      out.append(buffer, static_cast<std::size_t>(got));
      // The file may have grown since it was checked.
      if (out.size() > limit) {
        ok = false;
        break;
      }
    }
  }
  if (!ok) out.clear();
  return ok;
}

std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace velmora::base
