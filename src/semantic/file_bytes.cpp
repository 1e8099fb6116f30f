#include "semantic/file_bytes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora::semantic {

bool readFileBytes(const std::string& path, std::string& out, std::uintmax_t limit) {
  out.clear();
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  // O_NONBLOCK so that opening a FIFO cannot wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat info {};
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            static_cast<std::uintmax_t>(info.st_size) <= limit;
  if (ok) {
    out.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    for (;;) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ok = got == 0;
        break;
      }
      out.append(buffer, static_cast<std::size_t>(got));
      if (out.size() > limit) {
        ok = false;
        break;
      }
    }
  }
  ::close(fd);
  if (!ok) out.clear();
  return ok;
}

}  // namespace velmora::semantic
