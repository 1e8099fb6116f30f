#pragma once
// This build of the bridge, as cmake/SourceStamp.cmake wrote it down.

namespace velmora::base {

// The project's version number, e.g. "0.1".
extern const char* const bridgeVersion;

// SHA-256 (hexadecimal) over the sources of base/, bridge/photos/,
// inventory/ and qr/: what shapes a scan record. Any edit changes it.
extern const char* const sourceStamp;

}  // namespace velmora::base
