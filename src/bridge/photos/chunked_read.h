#pragma once
#include <cstddef>

#include "bridge/photos/library.h"

namespace velmora::photos {

inline constexpr std::size_t readChunkSize = std::size_t{1} << 20;

// Reads the open file `fd` from its current position to its end, handing
// the bytes to `onChunk` in order, at most `readChunkSize` at a time, on the
// calling thread. False when a read fails (the chunks before it have been
// delivered). Files larger than a few chunks are read one chunk ahead on a
// helper thread, so that copying from the page cache overlaps the caller's
// work on the previous chunk; memory stays at two chunks.
bool readChunks(int fd, std::size_t expectedSize, const ChunkHandler& onChunk);

}  // namespace velmora::photos
