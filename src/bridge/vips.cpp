#include "bridge/vips.h"

#include <mutex>

#include <vips/vips.h>

namespace velmora::bridge {

bool ensureVips() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    if (VIPS_INIT("velmora-bridge") != 0) return;
    vips_block_untrusted_set(TRUE);
    vips_cache_set_max(0);
    vips_cache_set_max_mem(0);
    vips_cache_set_max_files(0);
    started = true;
  });
  return started;
}

}  // namespace velmora::bridge
