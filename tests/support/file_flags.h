#pragma once
#include <filesystem>

namespace velmora::testing {

// Sets or clears the immutable flag, which stops a rename even for root.
// False where the file system does not support it.
bool setImmutable(const std::filesystem::path& file, bool on);

}  // namespace velmora::testing
