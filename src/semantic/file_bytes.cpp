#include "semantic/file_bytes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "bridge/regular_file.h"

namespace velmora::semantic {

bool readFileBytes(const std::string& path, std::string& out, std::uintmax_t limit) {
  out.clear();
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  struct stat info {};
  const bridge::UniqueFd file(bridge::openRegularFile(path, &info));
  if (!file.valid()) return false;
  const int fd = file.get();
  bool ok = static_cast<std::uintmax_t>(info.st_size) <= limit;
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
  if (!ok) out.clear();
  return ok;
}

}  // namespace velmora::semantic
