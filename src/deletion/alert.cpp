#include "deletion/alert.h"

#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif

namespace velmora::deletion {

AlertTexts alertTexts(unsigned long count) {
  return AlertTexts{
      std::to_string(count) + " Medien aus Fotos löschen?",
      "Die Auswahl wird in Fotos gelöscht und ist normalerweise unter ‚Zuletzt gelöscht‘ "
      "wiederherstellbar. Bei iCloud-Fotos gilt dies auf allen synchronisierten Geräten. Eine "
      "endgültige Leerung erfolgt nicht.",
      "Aus Fotos löschen",
      "Abbrechen",
  };
}

GtkWidget* buildAlert(unsigned long count) {
  const AlertTexts texts = alertTexts(count);
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, GTK_MESSAGE_QUESTION,
                                             GTK_BUTTONS_NONE, "%s", texts.message.c_str());
  gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s",
                                           texts.informative.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), "Velmora");
  gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
  gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);

  GtkWidget* confirm =
      gtk_dialog_add_button(GTK_DIALOG(dialog), texts.confirmButton.c_str(), alertConfirmResponse);
  gtk_dialog_add_button(GTK_DIALOG(dialog), texts.cancelButton.c_str(), GTK_RESPONSE_CANCEL);
  // As on the platform the bridge was first written for, the first button
  // is the default and has the focus: Return confirms.
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), alertConfirmResponse);
  gtk_widget_grab_focus(confirm);
  return dialog;
}

namespace {

guint32 presentationTime(GtkWidget* dialog) {
#ifdef GDK_WINDOWING_X11
  GdkWindow* window = gtk_widget_get_window(dialog);
  if (window != nullptr && GDK_IS_X11_WINDOW(window)) return gdk_x11_get_server_time(window);
#endif
  return GDK_CURRENT_TIME;
}

// Once the window is on screen, asks for the keyboard focus again: a window
// that is only being shown gets it from the window manager, and without one
// (a bare X server) it would get none.
gboolean focusWhenMapped(GtkWidget* dialog, GdkEvent*, gpointer) {
  gtk_window_present_with_time(GTK_WINDOW(dialog), presentationTime(dialog));
  return FALSE;
}

// Brings the alert in front of every other window with the keyboard focus.
// The bridge was started by another program and has no user event of its
// own, so on X11 the request carries the server's current time; a window
// manager's focus-stealing prevention would otherwise leave the alert
// behind the application that asked for it.
void presentInFront(GtkWidget* dialog) {
  gtk_widget_realize(dialog);
  g_signal_connect(dialog, "map-event", G_CALLBACK(focusWhenMapped), nullptr);
  gtk_window_present_with_time(GTK_WINDOW(dialog), presentationTime(dialog));
}

// While the alert is up, X errors are the alert's own: a window destroyed
// by another client (a window manager's kill, xdotool) leaves GTK drawing
// into a window that is gone, and GDK ends the whole process on an X error
// that no trap covers. The alert then just counts as not confirmed.
class XErrorTrap {
 public:
  XErrorTrap() {
#ifdef GDK_WINDOWING_X11
    GdkDisplay* display = gdk_display_get_default();
    if (display != nullptr && GDK_IS_X11_DISPLAY(display)) {
      display_ = display;
      gdk_x11_display_error_trap_push(display_);
    }
#endif
  }
  ~XErrorTrap() {
#ifdef GDK_WINDOWING_X11
    if (display_ != nullptr) gdk_x11_display_error_trap_pop_ignored(display_);
#endif
  }
  XErrorTrap(const XErrorTrap&) = delete;
  XErrorTrap& operator=(const XErrorTrap&) = delete;

 private:
  GdkDisplay* display_ = nullptr;
};

}  // namespace

bool runAlert(unsigned long count) {
  const XErrorTrap trap;
  GtkWidget* dialog = buildAlert(count);
  // Our own reference: the window may be destroyed from outside while it
  // runs (its X window closed), and is destroyed below in any case.
  g_object_ref(dialog);
  presentInFront(dialog);
  const int response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  g_object_unref(dialog);
  // Let the window really go before the worker carries on and ends the run.
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
  return response == alertConfirmResponse;
}

bool AlertConfirmation::confirm(unsigned long count) {
  if (mainThread_ == nullptr || !mainThread_->hasDisplay()) return false;
  bool confirmed = false;
  mainThread_->runAndWait([&confirmed, count] { confirmed = runAlert(count); });
  return confirmed;
}

}  // namespace velmora::deletion
