#include "bridge/photos/trusted_times.h"

#include <sys/vfs.h>

#include <cstdint>

namespace velmora::photos {

namespace {

// statfs' f_type of the file systems above (linux/magic.h and the file
// systems' own sources).
constexpr std::uint32_t trusted[] = {
    0xEF53,      // ext2, ext3, ext4
    0x9123683E,  // btrfs
    0x58465342,  // xfs
    0xF2F52010,  // f2fs
    0x2FC12FC1,  // zfs
    0xCA451A4E,  // bcachefs
    0x3153464A,  // jfs
    0x52654973,  // reiserfs
    0x3434,      // nilfs2
    0x01021994,  // tmpfs
    0x858458F6,  // ramfs
};

}  // namespace

bool timesAreTrusted(const std::string& path) {
  struct statfs status {};
  if (::statfs(path.c_str(), &status) != 0) return false;
  const auto type = static_cast<std::uint32_t>(status.f_type);
  for (const std::uint32_t known : trusted) {
    if (type == known) return true;
  }
  return false;
}

}  // namespace velmora::photos
