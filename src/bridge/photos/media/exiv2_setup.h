#pragma once

namespace velmora::photos {

// Silences Exiv2's log and starts its XMP toolkit with a lock, once per
// process. The toolkit keeps process-wide tables (namespaces, the parser's
// state); without the lock two threads parsing XMP at once corrupt them.
// Call before any other Exiv2 use, on any thread.
void startExiv2();

}  // namespace velmora::photos
