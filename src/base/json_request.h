#pragma once
// Request files (`delete`, `semantic`) read strictly: the parent application
// and the bridge must never disagree about what a request says.
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace velmora::base {

// Deeper than any real request (they nest three levels), far below what
// parsing could afford.
inline constexpr unsigned maxRequestDepth = 32;

// The JSON value of the request file `path`, or no value when the file is
// unusable: not a regular file, larger than maxRequestFileBytes, not valid
// JSON, holding a NUL byte anywhere (the parser would stop there and ignore
// the rest), nested deeper than maxRequestDepth, or repeating a key inside
// one object (parsers differ on which of the two counts).
std::optional<nlohmann::json> readJsonRequest(const std::string& path);

// The same checks on text already in memory.
std::optional<nlohmann::json> parseJsonRequest(const std::string& text);

}  // namespace velmora::base
