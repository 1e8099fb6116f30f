#include "inventory/preview_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <string_view>

#include "base/private_folder.h"
#include "base/regular_file.h"
#include "base/write_all.h"

namespace velmora::inventory {

namespace {

constexpr std::string_view header = "velmora-bridge previews 1\n";
constexpr off_t maxRecordBytes = off_t{64} << 20;

// The folder of the records, open; -1 when there is none of our own.
int openRecordFolder(bool create) {
  const std::optional<std::filesystem::path> data = base::bridgeDataFolder();
  if (!data) return -1;
  const base::UniqueFd own(base::openPrivateFolder(*data, create));
  if (!own.valid()) return -1;
  if (create) ::mkdirat(own.get(), "previews", 0700);
  const int fd = ::openat(own.get(), "previews", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat status {};
  if (fd >= 0 && (::fstat(fd, &status) != 0 || status.st_uid != ::geteuid())) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool plainPreviewName(std::string_view name) {
  return !name.empty() && name.size() <= 255 && name.find('/') == std::string_view::npos &&
         name.find(' ') == std::string_view::npos && name.find('\n') == std::string_view::npos &&
         name.front() != '.';
}

}  // namespace

PreviewRecord::PreviewRecord(int previewFolder) : folder_(previewFolder) {
  struct stat status {};
  if (previewFolder < 0 || ::fstat(previewFolder, &status) != 0) return;
  key_ = std::to_string(status.st_dev) + "-" + std::to_string(status.st_ino);
  const base::UniqueFd records(openRecordFolder(false));
  if (!records.valid()) return;
  const base::UniqueFd file(
      ::openat(records.get(), key_->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size > maxRecordBytes) {
    return;
  }
  std::string text(static_cast<std::size_t>(info.st_size), '\0');
  if (::pread(file.get(), text.data(), text.size(), 0) != info.st_size) return;
  std::string_view rest(text);
  if (!rest.starts_with(header)) return;
  rest.remove_prefix(header.size());
  // "name device inode size modified changed", a line each.
  while (!rest.empty()) {
    const std::size_t newline = rest.find('\n');
    if (newline == std::string_view::npos) break;
    const std::string_view line = rest.substr(0, newline);
    rest.remove_prefix(newline + 1);
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos || !plainPreviewName(line.substr(0, space))) continue;
    if (const std::optional<base::FileIdentity> identity =
            base::identityFromText(line.substr(space + 1))) {
      files_.emplace(std::string(line.substr(0, space)), *identity);
    }
  }
}

void PreviewRecord::wrote(const std::string& name, const base::FileIdentity& file) {
  const std::lock_guard lock(mutex_);
  if (key_ && plainPreviewName(name)) files_[name] = file;
}

void PreviewRecord::removeIfOwn(const std::string& name) {
  const std::lock_guard lock(mutex_);
  const auto entry = files_.find(name);
  if (entry == files_.end()) return;
  const std::optional<base::FileIdentity> now = base::identityAt(folder_, name.c_str());
  // A file of this name is removed only while it is still the one written:
  // once it was replaced or changed it is someone else's, and stays.
  // (Between this look and the unlink lies a moment in which a program
  // could put its own file there; no system call unlinks only a given
  // inode.)
  if (now && *now == entry->second && ::unlinkat(folder_, name.c_str(), 0) != 0) return;
  files_.erase(entry);
}

void PreviewRecord::save() {
  if (!key_) return;
  std::string text(header);
  {
    const std::lock_guard lock(mutex_);
    for (const auto& [name, identity] : files_) {
      if (base::identityAt(folder_, name.c_str()) != identity) continue;
      text.append(name).append(" ").append(base::identityText(identity)).append("\n");
    }
  }
  const base::UniqueFd records(openRecordFolder(true));
  if (!records.valid()) return;
  const std::string temporary = "." + *key_ + "." + std::to_string(::getpid()) + ".tmp";
  const int fd = ::openat(records.get(), temporary.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const bool whole = base::writeAll(fd, text);
  if (::close(fd) != 0 || !whole ||
      ::renameat(records.get(), temporary.c_str(), records.get(), key_->c_str()) != 0) {
    ::unlinkat(records.get(), temporary.c_str(), 0);
  }
}

}  // namespace velmora::inventory
