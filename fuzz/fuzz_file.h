#pragma once
// Helpers shared by the fuzz targets.
#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora::fuzz {

// Puts `data` into a file of this process (in memory, no disk) and returns a
// path that opens it as a regular file. Each call replaces the content.
const std::string& asFile(const std::uint8_t* data, std::size_t size);

// Quietens the libraries the way the bridge does before its first action.
void prepareProcess();

}  // namespace velmora::fuzz
