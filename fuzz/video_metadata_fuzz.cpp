// Container metadata of a video as the library reads it for an asset's
// attributes (size, rotation, creation time) through libavformat. Any bytes
// give a value or none.
#include <cmath>
#include <cstdlib>

#include "bridge/photos/media/media_metadata.h"
#include "fuzz_file.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  velmora::fuzz::prepareProcess();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (const auto video = velmora::photos::readVideoMetadata(velmora::fuzz::asFile(data, size))) {
    if (video->creationDate && !std::isfinite(*video->creationDate)) std::abort();
    if ((video->width == 0) != (video->height == 0)) std::abort();
  }
  return 0;
}
