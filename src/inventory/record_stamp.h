#pragma once
#include <string>

namespace velmora::inventory {

// Everything besides an asset's own files that shapes its scan record: this
// build of the bridge (its version and a hash of its sources) and the file
// of every decoding and detecting library that is loaded. A record kept
// under another stamp is never used. Starts libvips first, which loads its
// HEIF module and with it libheif.
std::string recordStamp();

}  // namespace velmora::inventory
