#include "bridge/photos/media/exiv2_setup.h"

#include <mutex>

// Exiv2 0.27 still hands out std::auto_ptr; its warnings are not ours.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

namespace velmora::photos {

namespace {

std::mutex xmpMutex;

void lockXmp(void* data, bool lock) {
  auto* mutex = static_cast<std::mutex*>(data);
  if (lock) {
    mutex->lock();
  } else {
    mutex->unlock();
  }
}

}  // namespace

void startExiv2() {
  static std::once_flag once;
  std::call_once(once, [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize(lockXmp, &xmpMutex);
    // HEIF, AVIF and CR3 (the gate still decides which file may use it).
    Exiv2::enableBMFF(true);
  });
}

}  // namespace velmora::photos
