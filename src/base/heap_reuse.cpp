#include "base/heap_reuse.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace velmora::base {

namespace {

constexpr int ownMappingBytes = 64 << 20;

// /proc/self/statm, opened before a worker's sandbox forbids opening
// anything; read again from its start, it says the present.
std::atomic<int> statm{-1};
std::atomic<std::size_t> anonymousAtStart{0};
// Whether glibc's heap serves this process and was set up by
// keepFreedMemory(). Under a sanitizer or a preloaded allocator it is not;
// trimming glibc's heap from the scan's threads then would first set it up
// from two of them at once, and glibc then aborts at their exit.
std::atomic<bool> glibcHeap{false};

// Resident memory that is no file's: the heap, stacks, anonymous maps.
std::size_t anonymousResident() {
  const int fd = statm.load();
  char text[128];
  const ssize_t length = fd < 0 ? -1 : ::pread(fd, text, sizeof text - 1, 0);
  if (length <= 0) return 0;
  text[length] = '\0';
  unsigned long size = 0, resident = 0, shared = 0;
  if (std::sscanf(text, "%lu %lu %lu", &size, &resident, &shared) != 3 || shared > resident) {
    return 0;
  }
  return (resident - shared) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace

void keepFreedMemory() {
  // Setting either also ends glibc's sliding thresholds. An allocator that
  // takes mallopt() and is not glibc's refuses it.
  const bool glibc = ::mallopt(M_MMAP_THRESHOLD, ownMappingBytes) == 1;
  ::mallopt(M_TRIM_THRESHOLD, 2 * ownMappingBytes);
  if (statm.load() < 0) {
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    int none = -1;
    if (fd >= 0 && !statm.compare_exchange_strong(none, fd)) ::close(fd);
  }
  anonymousAtStart.store(anonymousResident());
  glibcHeap.store(glibc);
}

bool releaseSpareMemory(std::size_t spare) {
  if (!glibcHeap.load()) return false;
  const std::size_t now = anonymousResident();
  if (now == 0) {
    // Without /proc: the free memory the heap holds, resident or not.
    if (::mallinfo2().fordblks <= spare) return false;
  } else if (now <= anonymousAtStart.load() + spare) {
    return false;
  }
  ::malloc_trim(0);
  return true;
}

}  // namespace velmora::base
