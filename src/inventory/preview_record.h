#pragma once
// Which preview files a scan wrote into a preview folder, kept from one scan
// to the next, so that a scan removes only files it wrote itself and that
// nobody changed since. A preview folder may be any folder the parent
// names (~/Downloads included), and a file there named like a preview may
// be the user's.
//
// The record lives in the bridge's data folder
// (base::bridgeDataFolder()/previews/<device>-<inode of the preview folder>),
// not beside the previews: the scan owns only the names N.jpg there, the
// record must not be writable by whoever may write the preview folder, and
// it must work with the scan cache off. Without it (no data folder, another
// user's, a new preview folder) nothing is removed.
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "base/file_identity.h"

namespace velmora::inventory {

class PreviewRecord {
 public:
  // The record of the open folder `previewFolder`; empty when there is none
  // or it cannot be read. -1: a record that keeps nothing.
  explicit PreviewRecord(int previewFolder);

  // This scan wrote `name`, now this file. Safe from several threads.
  void wrote(const std::string& name, const base::FileIdentity& file);

  // Removes `name` when the record says this bridge wrote it and it is
  // still exactly that file; otherwise leaves it and, unless the record
  // still holds it unchanged, forgets it. Safe from several threads.
  void removeIfOwn(const std::string& name);

  // Writes the record back (atomically); what it names that is gone or
  // changed is dropped.
  void save();

 private:
  int folder_ = -1;
  std::optional<std::string> key_;  // the record's file name; none: keep nothing
  std::mutex mutex_;
  std::map<std::string, base::FileIdentity> files_;
};

}  // namespace velmora::inventory
