#pragma once
#include <gtk/gtk.h>

#include <string>

#include "bridge/main_thread.h"
#include "deletion/confirmation.h"

namespace velmora::deletion {

// What the alert says and offers, for a selection of `count` assets.
struct AlertTexts {
  std::string message;
  std::string informative;
  std::string confirmButton;  // the first button, the default
  std::string cancelButton;
};
AlertTexts alertTexts(unsigned long count);

// The response the first button gives.
inline constexpr int alertConfirmResponse = 1000;

// The alert as a modal GTK message dialog, built but not shown. GTK must be
// initialised; the caller destroys the dialog.
GtkWidget* buildAlert(unsigned long count);

// Shows the alert in front of other windows and waits for the answer. True
// only when the first button was chosen; Escape and closing the window
// cancel. Main thread only.
bool runAlert(unsigned long count);

// Asks through the alert on the main thread. Without a main thread or a
// display nobody can be asked, and that is no confirmation.
class AlertConfirmation final : public Confirmation {
 public:
  explicit AlertConfirmation(bridge::MainThread* mainThread) : mainThread_(mainThread) {}
  bool confirm(unsigned long count) override;

 private:
  bridge::MainThread* mainThread_;
};

}  // namespace velmora::deletion
