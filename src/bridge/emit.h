#pragma once
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace velmora::bridge {

using Json = nlohmann::json;

// Where an action's JSON lines go. The real one is `emit`; tests collect.
using Emitter = std::function<void(const Json& object)>;

// One compact JSON object followed by a single newline. Invalid UTF-8 inside
// strings is replaced by U+FFFD; never throws.
std::string jsonLine(const Json& object);

// Writes `object` as one line to standard output and flushes at once. Write
// errors (a parent that closed its end, say) are ignored: the run goes on.
void emit(const Json& object);

// {"error": text}
Json errorMessage(const std::string& text);
// {"progress": "<label>: <position>/<total>"}
Json progressMessage(const char* label, unsigned long position, unsigned long total);

}  // namespace velmora::bridge
