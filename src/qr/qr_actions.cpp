#include "qr/qr_actions.h"

namespace velmora::qr {

int qrAction(const bridge::Arguments&, const bridge::Emitter& emit) {
  emit(bridge::errorMessage("QR-Prüfung noch nicht verfügbar"));
  return 1;
}

int qrFolderAction(const bridge::Arguments&, const bridge::Emitter& emit) {
  emit(bridge::errorMessage("QR-Prüfung noch nicht verfügbar"));
  return 1;
}

}  // namespace velmora::qr
