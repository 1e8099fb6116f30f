#include "fuzz_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "bridge/photos/isolated.h"
#include "bridge/process.h"

namespace velmora::fuzz {

const std::string& asFile(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("velmora-fuzz", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ::ftruncate(fd, 0) != 0) std::abort();
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = ::pwrite(fd, data + written, size - written, static_cast<off_t>(written));
    if (n <= 0) std::abort();
    written += static_cast<std::size_t>(n);
  }
  return path;
}

void prepareProcess() {
  bridge::quietenProcess();
  // The fuzzers look at the parsers themselves: reads stay in this process,
  // where the sanitizers and the coverage see them (a fuzzer is no worker).
  photos::setReadsInWorkers(false);
}

}  // namespace velmora::fuzz
