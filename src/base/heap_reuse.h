#pragma once
// How a process that works through file after file keeps its heap. The
// buffers one file needs are about those the next one needs, so freed
// memory is kept for reuse instead of handed back to the system at every
// free: memory handed back comes again as fresh pages, which the kernel
// faults in and zeroes before the libraries zero them once more (about
// 3,000 page faults per 12-megapixel photo in a scan). What is kept is
// looked at between files and handed back only when it grows past a bound,
// after a file that needed much more than most, so memory stays flat
// however many files follow.
#include <cstddef>

namespace velmora::base {

// How much more memory than when keepFreedMemory() was called a process may
// keep between files before it hands the free part back.
inline constexpr std::size_t spareHeapBytes = std::size_t{32} << 20;

// Sets the allocator so that freed buffers stay in the heap: only single
// allocations of 64 MiB or more are mapped on their own (and unmapped when
// freed), and the heap's top is not trimmed at every free. Notes the
// memory this process has now; safe to call again.
void keepFreedMemory();

// Between files: when the process's resident memory that is no file's has
// grown by more than `spare` since keepFreedMemory(), hands the heap's
// free memory back to the system. True when it did. Does nothing before
// keepFreedMemory() or when glibc's allocator is not the one in use.
bool releaseSpareMemory(std::size_t spare = spareHeapBytes);

}  // namespace velmora::base
