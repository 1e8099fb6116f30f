#include "semantic/semantic_action.h"

namespace velmora::semantic {

int semanticAction(const bridge::Arguments&, const bridge::Emitter& emit) {
  emit(bridge::errorMessage("Motiverkennung noch nicht verfügbar"));
  return 1;
}

}  // namespace velmora::semantic
