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

// The chunk buffers of the calling thread, kept from one file to the next:
// fresh ones would be new pages for every file, faulted in and zeroed by
// the kernel, which cost more than the copying itself. A read nested in
// another's chunk handler gets buffers of its own.
class ChunkBuffers {
 public:
  // `count` buffers: one to read in line, two to read ahead.
  explicit ChunkBuffers(std::size_t count) : borrowed_(!inUse), buffers_(borrowed_ ? kept : own_) {
    for (std::size_t i = 0; i < count; ++i) {
      if (!buffers_[i]) buffers_[i] = std::make_unique_for_overwrite<std::byte[]>(readChunkSize);
    }
    if (borrowed_) inUse = true;
  }
  ~ChunkBuffers() {
    if (borrowed_) inUse = false;
  }
  ChunkBuffers(const ChunkBuffers&) = delete;
  ChunkBuffers& operator=(const ChunkBuffers&) = delete;

  std::byte* operator[](std::size_t index) const { return buffers_[index].get(); }

 private:
  static thread_local Buffer kept[2];
  static thread_local bool inUse;
  const bool borrowed_;
  Buffer own_[2];
  Buffer* const buffers_;  // kept, or own_ for a read nested in another
};

thread_local Buffer ChunkBuffers::kept[2];
thread_local bool ChunkBuffers::inUse = false;

bool readInline(int fd, std::size_t size, const struct stat& before, const ChunkHandler& onChunk) {
  const ChunkBuffers buffers{1};
  std::byte* const buffer = buffers[0];
  std::size_t left = size;
  while (true) {
    const ssize_t length = readSome(fd, buffer, left);
    if (length < 0) return false;
    if (length == 0) return left == 0;
    onChunk(std::span<const std::byte>(buffer, static_cast<std::size_t>(length)));
    if (!unchanged(fd, before)) return false;
  }
}

// Two buffers pass between a reading thread and the caller: the reader fills
// one while the caller consumes the other.
class ReadAhead {
 public:
  ReadAhead(int fd, std::size_t size) : buffers_(2), fd_(fd), left_(size) {
    for (std::size_t i = 0; i < 2; ++i) slots_[i].data = buffers_[i];
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
      onChunk(std::span<const std::byte>(slot.data, static_cast<std::size_t>(length)));
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
    std::byte* data = nullptr;
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
      const ssize_t length = readSome(fd_, slot.data, left_);
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

  const ChunkBuffers buffers_;
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
