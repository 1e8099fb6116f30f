#pragma once
// A whole open file seen as read-only memory, for parsers that read from
// memory rather than from names (Exiv2's memory I/O, LibRaw's buffer): the
// descriptor that was checked is mapped, no path is opened. A file that
// shrinks while mapped raises SIGBUS on the vanished pages, as any mapping
// does; such files are parsed in a worker process whose death costs only
// that file.
#include <cstddef>
#include <cstdint>

namespace velmora::base {

class MappedFile {
 public:
  // Maps the file open on `fd` (which stays the caller's); empty when it
  // is empty or cannot be mapped.
  explicit MappedFile(int fd);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace velmora::base
