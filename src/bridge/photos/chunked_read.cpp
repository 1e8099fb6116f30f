#include "bridge/photos/chunked_read.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace velmora::photos {

namespace {

using Buffer = std::unique_ptr<std::byte[]>;

// At most one chunk, and never past `left` bytes: a file that grows while
// it is read is read only to the size it had when it was opened.
ssize_t readSome(int fd, std::byte* buffer, std::size_t& left) {
  if (left == 0) return 0;
  while (true) {
    const ssize_t length = ::read(fd, buffer, std::min(readChunkSize, left));
    if (length >= 0) {
      left -= static_cast<std::size_t>(length);
      return length;
    }
    if (errno != EINTR) return length;
  }
}

// The file's size and modification time are still those of `before`.
bool unchanged(int fd, const struct stat& before) {
  struct stat now {};
  return ::fstat(fd, &now) == 0 && now.st_size == before.st_size &&
         now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}

bool readInline(int fd, std::size_t size, const struct stat& before, const ChunkHandler& onChunk) {
  const Buffer buffer = std::make_unique_for_overwrite<std::byte[]>(readChunkSize);
  std::size_t left = size;
  while (true) {
    const ssize_t length = readSome(fd, buffer.get(), left);
    if (length < 0) return false;
    if (length == 0) return left == 0;
    onChunk(std::span<const std::byte>(buffer.get(), static_cast<std::size_t>(length)));
    if (!unchanged(fd, before)) return false;
  }
}

// Two buffers pass between a reading thread and the caller: the reader fills
// one while the caller consumes the other.
class ReadAhead {
 public:
  ReadAhead(int fd, std::size_t size) : fd_(fd), left_(size) {
    for (Slot& slot : slots_)
      slot.data = std::make_unique_for_overwrite<std::byte[]>(readChunkSize);
    reader_ = std::thread([this] { readAll(); });
  }

  ~ReadAhead() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    reader_.join();
  }

  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  bool deliver(const struct stat& before, const ChunkHandler& onChunk) {
    for (std::size_t index = 0;; index ^= 1) {
      Slot& slot = slots_[index];
      ssize_t length = 0;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return slot.filled; });
        length = slot.length;
      }
      if (length < 0) return false;
      if (length == 0) return shortBy_ == 0;
      onChunk(std::span<const std::byte>(slot.data.get(), static_cast<std::size_t>(length)));
      // Written to meanwhile: no need to read the rest.
      if (!unchanged(fd_, before)) return false;
      {
        const std::lock_guard lock(mutex_);
        slot.filled = false;
      }
      changed_.notify_all();
    }
  }

 private:
  struct Slot {
    Buffer data;
    ssize_t length = 0;
    bool filled = false;
  };

  void readAll() {
    for (std::size_t index = 0;; index ^= 1) {
      Slot& slot = slots_[index];
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopping_ || !slot.filled; });
        if (stopping_) return;
      }
      const ssize_t length = readSome(fd_, slot.data.get(), left_);
      {
        const std::lock_guard lock(mutex_);
        if (length == 0) shortBy_ = left_;
        slot.length = length;
        slot.filled = true;
      }
      changed_.notify_all();
      if (length <= 0) return;
    }
  }

  int fd_;
  std::size_t left_;         // reader thread only
  std::size_t shortBy_ = 0;  // bytes missing at the end; under mutex_
  Slot slots_[2];
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::thread reader_;
};

}  // namespace

bool readChunks(int fd, std::size_t expectedSize, const ChunkHandler& onChunk) {
  struct stat before {};
  if (::fstat(fd, &before) != 0) return false;
  bool complete = false;
  // Written to meanwhile (grown, shrunk, changed in place): the bytes read
  // are no state the file was ever in as a whole. Looked at after every
  // chunk, so a file that keeps changing is given up at once.
  if (static_cast<std::size_t>(before.st_size) != expectedSize) return false;
  if (expectedSize <= 4 * readChunkSize) {
    complete = readInline(fd, expectedSize, before, onChunk);
  } else {
    ReadAhead reader(fd, expectedSize);
    complete = reader.deliver(before, onChunk);
  }
  return complete && unchanged(fd, before);
}

}  // namespace velmora::photos
