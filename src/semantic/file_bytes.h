#pragma once
#include <cstdint>
#include <string>

namespace velmora::semantic {

// Reads a whole regular file into `out`. False when it is missing, not a
// regular file (a FIFO would block), larger than `limit`, or unreadable.
bool readFileBytes(const std::string& path, std::string& out, std::uintmax_t limit);

}  // namespace velmora::semantic
