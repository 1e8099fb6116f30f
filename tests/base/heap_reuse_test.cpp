// A scan keeps freed buffers for the next file, but not without bound: what
// it keeps past the bound goes back to the system between files.
#include "base/heap_reuse.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace velmora::testing {
namespace {

constexpr std::size_t mebibyte = std::size_t{1} << 20;

// Allocates `count` blocks of a mebibyte, writes them (so that they are
// resident), and frees them again.
void useAndFree(std::size_t count) {
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < count; ++i) {
    void* block = std::malloc(mebibyte);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x5a, mebibyte);
    blocks.push_back(block);
  }
  for (void* block : blocks) std::free(block);
}

TEST(HeapReuse, KeepsWhatTheNextFileNeedsAndGivesBackWhatIsPastTheBound) {
#ifdef VELMORA_SANITIZED
  GTEST_SKIP() << "the sanitizer's allocator, not glibc's, serves this build";
#endif
  base::keepFreedMemory();
  const std::size_t spare = 64 * mebibyte;

  // Buffers of an ordinary file: kept, and the next file uses them again.
  useAndFree(24);
  EXPECT_FALSE(base::releaseSpareMemory(spare));
  useAndFree(24);
  EXPECT_FALSE(base::releaseSpareMemory(spare));

  // One buffer too large to keep is mapped on its own and gone when freed.
  void* large = std::malloc(96 * mebibyte);
  ASSERT_NE(large, nullptr);
  std::memset(large, 0x5a, 96 * mebibyte);
  std::free(large);
  EXPECT_FALSE(base::releaseSpareMemory(spare));

  // A file that needed far more than most: handed back once, after it.
  useAndFree(112);
  EXPECT_TRUE(base::releaseSpareMemory(spare));
  EXPECT_FALSE(base::releaseSpareMemory(spare));
}

// Under a sanitizer (or a preloaded allocator) glibc's heap serves nothing:
// it is not trimmed, least of all by several threads at once, after which
// glibc aborted the process when they ended.
TEST(HeapReuse, LeavesAnotherAllocatorsHeapAlone) {
#ifndef VELMORA_SANITIZED
  GTEST_SKIP() << "glibc's allocator serves this build";
#endif
  base::keepFreedMemory();
  std::vector<std::thread> threads;
  std::vector<char> released(4, 0);
  for (char& result : released) {
    threads.emplace_back([&result] {
      useAndFree(8);
      result = base::releaseSpareMemory(0);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(released, std::vector<char>(4, 0));
}

}  // namespace
}  // namespace velmora::testing
