#pragma once
#include <string>
#include <vector>

namespace velmora::bridge {

// The process's own arguments: element 0 the program, 1 the action word,
// 2 the path. Anything after element 2 is never copied, let alone read.
using Arguments = std::vector<std::string>;

Arguments argumentsFrom(int argc, const char* const* argv);

// True for the words that run without a main loop or library access.
bool isHeadless(const Arguments& arguments);

}  // namespace velmora::bridge
