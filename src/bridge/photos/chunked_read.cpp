#include "bridge/photos/chunked_read.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace velmora::photos {

namespace {

using Buffer = std::unique_ptr<std::byte[]>;

ssize_t readSome(int fd, std::byte* buffer) {
  while (true) {
    const ssize_t length = ::read(fd, buffer, readChunkSize);
    if (length >= 0 || errno != EINTR) return length;
  }
}

bool readInline(int fd, const ChunkHandler& onChunk) {
  const Buffer buffer = std::make_unique_for_overwrite<std::byte[]>(readChunkSize);
  while (true) {
    const ssize_t length = readSome(fd, buffer.get());
    if (length < 0) return false;
    if (length == 0) return true;
    onChunk(std::span<const std::byte>(buffer.get(), static_cast<std::size_t>(length)));
  }
}

// Two buffers pass between a reading thread and the caller: the reader fills
// one while the caller consumes the other.
class ReadAhead {
 public:
  explicit ReadAhead(int fd) : fd_(fd) {
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

  bool deliver(const ChunkHandler& onChunk) {
    for (std::size_t index = 0;; index ^= 1) {
      Slot& slot = slots_[index];
      ssize_t length = 0;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return slot.filled; });
        length = slot.length;
      }
      if (length < 0) return false;
      if (length == 0) return true;
      onChunk(std::span<const std::byte>(slot.data.get(), static_cast<std::size_t>(length)));
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
      const ssize_t length = readSome(fd_, slot.data.get());
      {
        const std::lock_guard lock(mutex_);
        slot.length = length;
        slot.filled = true;
      }
      changed_.notify_all();
      if (length <= 0) return;
    }
  }

  int fd_;
  Slot slots_[2];
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::thread reader_;
};

}  // namespace

bool readChunks(int fd, std::size_t expectedSize, const ChunkHandler& onChunk) {
  if (expectedSize <= 4 * readChunkSize) return readInline(fd, onChunk);
  ReadAhead reader(fd);
  return reader.deliver(onChunk);
}

}  // namespace velmora::photos
