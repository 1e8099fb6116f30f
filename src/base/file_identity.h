#pragma once
// Which file a name led to, and in which state: enough to tell later
// whether the file at a name is still the one that was there.
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::base {

struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modified = 0;  // nanoseconds since 1970
  std::int64_t changed = 0;   // the change time, nanoseconds; 0 where it is not compared
  bool operator==(const FileIdentity&) const = default;

  // The same file (device and inode), whatever its state.
  bool sameFile(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
};

FileIdentity identityOf(const struct stat& status);

// The file at `name` in the open folder `folder`, not following a symlink
// (a link is a file of its own). No value when there is nothing there.
std::optional<FileIdentity> identityAt(int folder, const char* name);

// Five numbers separated by single spaces, and back; no value for anything
// else.
std::string identityText(const FileIdentity& identity);
std::optional<FileIdentity> identityFromText(std::string_view text);

}  // namespace velmora::base
