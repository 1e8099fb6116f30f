#pragma once

namespace velmora::deletion {

// Asks the user whether a selection of `count` assets may be deleted.
class Confirmation {
 public:
  virtual ~Confirmation() = default;
  // True only when the user explicitly chose to delete; anything else
  // (cancelled, closed, no way to ask) is false.
  virtual bool confirm(unsigned long count) = 0;
};

}  // namespace velmora::deletion
