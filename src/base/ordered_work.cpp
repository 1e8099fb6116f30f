#include "base/ordered_work.h"

#include <unistd.h>

namespace velmora::base {

unsigned onlineProcessors() {
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

}  // namespace velmora::base
