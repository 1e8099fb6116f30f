#include "bridge/emit.h"

#include <unistd.h>

#include "base/write_all.h"

namespace velmora::bridge {

std::string jsonLine(const Json& object) {
  try {
    std::string line = object.dump(-1, ' ', false, Json::error_handler_t::replace);
    line.push_back('\n');
    return line;
  } catch (...) {
    // Only a value JSON cannot express gets here; the line must still be
    // one valid object.
    return "{}\n";
  }
}

void emit(const Json& object) {
  const std::string line = jsonLine(object);
  // Written straight to the descriptor so that nothing waits in a buffer and
  // a closed pipe cannot raise an error in a stream object. A failed write
  // does not change the course of the run.
  base::writeAll(STDOUT_FILENO, line);
}

Json errorMessage(const std::string& text) { return Json{{"error", text}}; }

Json progressMessage(const char* label, unsigned long position, unsigned long total) {
  return Json{{"progress", std::string(label) + ": " + std::to_string(position) + "/" +
                               std::to_string(total)}};
}

}  // namespace velmora::bridge
