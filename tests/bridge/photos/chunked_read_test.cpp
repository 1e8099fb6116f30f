// The chunk buffers of a thread are kept from one file to the next; a read
// must never see another read's bytes in them.
#include "bridge/photos/chunked_read.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace velmora::testing {
namespace {

// The bytes of `path` as readChunks hands them over, with `inside` called
// when the first chunk has come and before it is used.
std::string readThrough(const std::filesystem::path& path, const std::function<void()>& inside = {}) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::string bytes;
  if (fd < 0) return bytes;
  const auto size = static_cast<std::size_t>(::lseek(fd, 0, SEEK_END));
  ::lseek(fd, 0, SEEK_SET);
  const bool complete = photos::readChunks(fd, size, [&](std::span<const std::byte> chunk) {
    if (bytes.empty() && inside) inside();
    bytes.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
  });
  ::close(fd);
  return complete ? bytes : std::string("incomplete");
}

// `size` bytes that differ from chunk to chunk and from file to file.
std::string pattern(std::size_t size, char seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i / 4093 + i % 251);
  return bytes;
}

TEST(ChunkedRead, EveryReadGetsItsOwnBytesWhateverRanBeforeOrInside) {
  TempDir dir;
  const std::string large = pattern(6 * photos::readChunkSize + 17, 'a');  // read ahead
  const std::string small = pattern(2 * photos::readChunkSize + 5, 'q');   // read inline
  writeFile(dir / "large.jpg", large);
  writeFile(dir / "small.jpg", small);

  // One after another on a thread, in both orders.
  EXPECT_EQ(readThrough(dir / "large.jpg"), large);
  EXPECT_EQ(readThrough(dir / "small.jpg"), small);
  EXPECT_EQ(readThrough(dir / "large.jpg"), large);

  // A read inside another's chunk handler, for each kind of read.
  std::string nested;
  EXPECT_EQ(readThrough(dir / "large.jpg", [&] { nested = readThrough(dir / "small.jpg"); }), large);
  EXPECT_EQ(nested, small);
  EXPECT_EQ(readThrough(dir / "small.jpg", [&] { nested = readThrough(dir / "large.jpg"); }), small);
  EXPECT_EQ(nested, large);

  // Threads at once, each with its own buffers.
  std::string first, second;
  std::thread a([&] {
    for (int i = 0; i < 3; ++i) first = readThrough(dir / (i % 2 ? "small.jpg" : "large.jpg"));
  });
  std::thread b([&] {
    for (int i = 0; i < 3; ++i) second = readThrough(dir / (i % 2 ? "large.jpg" : "small.jpg"));
  });
  a.join();
  b.join();
  EXPECT_EQ(first, large);
  EXPECT_EQ(second, small);
}

}  // namespace
}  // namespace velmora::testing
