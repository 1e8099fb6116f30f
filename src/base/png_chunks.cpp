#include "base/png_chunks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>

#include "base/regular_file.h"

namespace velmora::base {

namespace {

constexpr unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
// Enough for any real file; a walk never costs more than this many reads.
constexpr unsigned maxChunks = 1u << 16;

// `read(offset, out, n)` fills `out` with n bytes at offset, or fails.
using ReadAt = std::function<bool(std::uint64_t, unsigned char*, std::size_t)>;

bool chunksFit(std::uint64_t size, const ReadAt& read) {
  unsigned char head[8];
  if (size < sizeof head || !read(0, head, sizeof head) ||
      std::memcmp(head, signature, sizeof signature) != 0) {
    return true;  // not a PNG
  }
  std::uint64_t offset = sizeof signature;
  for (unsigned count = 0; count < maxChunks && offset + 8 <= size; ++count) {
    if (!read(offset, head, 8)) return true;
    const std::uint32_t length = (std::uint32_t{head[0]} << 24) | (std::uint32_t{head[1]} << 16) |
                                 (std::uint32_t{head[2]} << 8) | std::uint32_t{head[3]};
    if (length > 0x7FFFFFFFu) return false;
    const bool imageData = std::memcmp(head + 4, "IDAT", 4) == 0;
    const std::uint64_t end = offset + 12 + length;  // length, type, data, CRC
    if (end > size && !imageData) return false;
    if (std::memcmp(head + 4, "IEND", 4) == 0) return true;
    offset = end;
  }
  return true;
}

}  // namespace

bool pngChunksFit(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  return chunksFit(size, [&](std::uint64_t offset, unsigned char* out, std::size_t n) {
    if (offset + n > size) return false;
    std::memcpy(out, bytes + offset, n);
    return true;
  });
}

bool pngChunksFitFile(const std::string& path) {
  const int fd = openRegularFile(path);
  if (fd < 0) return true;  // the decoder reports what cannot be opened
  const bool fits = pngChunksFitDescriptor(fd);
  ::close(fd);
  return fits;
}

bool pngChunksFitDescriptor(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return true;
  return chunksFit(static_cast<std::uint64_t>(status.st_size),
                   [&](std::uint64_t offset, unsigned char* out, std::size_t n) {
                     return ::pread(fd, out, n, static_cast<off_t>(offset)) ==
                            static_cast<ssize_t>(n);
                   });
}

}  // namespace velmora::base
