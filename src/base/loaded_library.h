#pragma once
#include <string>
#include <string_view>

namespace velmora::base {

// Which file a shared library loaded into this process came from: its real
// path (whose name carries the version, e.g. libheif.so.1.15.1), size and
// modification time, separated by spaces. A package update
// changes at least the time. Empty when no loaded object's file name starts
// with `soname` (e.g. "libjpeg.so.").
std::string loadedLibraryFile(std::string_view soname);

}  // namespace velmora::base
