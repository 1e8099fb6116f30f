#pragma once
#include <string_view>

namespace velmora::base {

// Writes every byte to the descriptor, retrying short writes and signals.
// False on the first real error; what was written before stays written.
bool writeAll(int fd, std::string_view bytes);

}  // namespace velmora::base
