#include "base/file_identity.h"

#include <fcntl.h>

#include <charconv>

namespace velmora::base {

namespace {

std::int64_t nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

template <typename Number>
bool takeNumber(std::string_view& text, Number& out, bool last) {
  const std::size_t end = last ? text.size() : text.find(' ');
  if (end == std::string_view::npos || end == 0) return false;
  const char* first = text.data();
  const auto [stop, error] = std::from_chars(first, first + end, out);
  if (error != std::errc() || stop != first + end) return false;
  text.remove_prefix(last ? end : end + 1);
  return true;
}

}  // namespace

FileIdentity identityOf(const struct stat& status) {
  return FileIdentity{static_cast<std::uint64_t>(status.st_dev),
                      static_cast<std::uint64_t>(status.st_ino),
                      static_cast<std::int64_t>(status.st_size), nanoseconds(status.st_mtim),
                      nanoseconds(status.st_ctim)};
}

std::optional<FileIdentity> identityAt(int folder, const char* name) {
  struct stat status {};
  if (::fstatat(folder, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  return identityOf(status);
}

std::string identityText(const FileIdentity& identity) {
  return std::to_string(identity.device) + " " + std::to_string(identity.inode) + " " +
         std::to_string(identity.size) + " " + std::to_string(identity.modified) + " " +
         std::to_string(identity.changed);
}

std::optional<FileIdentity> identityFromText(std::string_view text) {
  FileIdentity identity;
  if (!takeNumber(text, identity.device, false) || !takeNumber(text, identity.inode, false) ||
      !takeNumber(text, identity.size, false) || !takeNumber(text, identity.modified, false) ||
      !takeNumber(text, identity.changed, true)) {
    return std::nullopt;
  }
  return identity;
}

}  // namespace velmora::base
