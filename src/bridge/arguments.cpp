#include "bridge/arguments.h"

#include <algorithm>

namespace velmora::bridge {

Arguments argumentsFrom(int argc, const char* const* argv) {
  Arguments arguments;
  const int kept = std::min(argc, 3);
  for (int i = 0; i < kept; ++i) arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
  return arguments;
}

bool isHeadless(const Arguments& arguments) {
  if (arguments.size() <= 1) return false;
  const std::string& word = arguments[1];
  return word == "qr" || word == "qr-folder" || word == "semantic";
}

}  // namespace velmora::bridge
