#pragma once
// Whether a file system's file identities and change times can vouch for a
// file's contents between runs.
#include <string>

namespace velmora::photos {

// True for the local file systems people keep photo libraries on (ext2/3/4,
// btrfs, xfs, f2fs, zfs, bcachefs, jfs, reiserfs, nilfs2, tmpfs, ramfs):
// the kernel moves a file's change time with every write and no program
// can set it back, and inode numbers stay. False for the rest, and when
// the file system cannot be asked: FUSE (sshfs, for one, reports a change
// time equal to a whole-second modification time, so an edit that keeps
// size and modification time goes unseen), network file systems, the FAT,
// exFAT and NTFS drivers, overlay and unknown ones. `path` is followed
// through symlinks, as reading the file is.
bool timesAreTrusted(const std::string& path);

}  // namespace velmora::photos
