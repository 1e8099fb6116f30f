#pragma once
#include <cstddef>

#include "bridge/photos/library.h"

namespace velmora::photos {

inline constexpr std::size_t readChunkSize = std::size_t{1} << 20;

// Reads `expectedSize` bytes (the file's size when it was opened) of the
// open file `fd` from its current position, handing them to `onChunk` in
// order, at most `readChunkSize` at a time, on the calling thread. Never
// reads past that size, so a file that keeps growing still ends. False
// when a read fails, the file ends early, or its size or modification time
// changed while it was read, which is looked at after every chunk (the
// chunks before have been delivered). Files larger than a few chunks are read one chunk ahead on a
// helper thread, so that copying from the page cache overlaps the caller's
// work on the previous chunk; memory stays at two chunks.
bool readChunks(int fd, std::size_t expectedSize, const ChunkHandler& onChunk);

}  // namespace velmora::photos
