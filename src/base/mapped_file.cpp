#include "base/mapped_file.h"

#include <sys/mman.h>
#include <sys/stat.h>

namespace velmora::base {

MappedFile::MappedFile(int fd) {
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0) {
    return;
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (mapped == MAP_FAILED) return;
  data_ = static_cast<const std::uint8_t*>(mapped);
  size_ = size;
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

}  // namespace velmora::base
