#include "qr/detector.h"

namespace velmora::qr {

bool qrAvailable = true;

// Detection arrives with the QR subsystem.
bool hasQR(const LumaImage*) {
  qrAvailable = true;
  return false;
}

}  // namespace velmora::qr
