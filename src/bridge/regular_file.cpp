#include "bridge/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

namespace velmora::bridge {

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

std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace velmora::bridge
