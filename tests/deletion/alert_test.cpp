// The confirmation alert on a private X server: what it says, what it
// offers, and which answers count as a yes, given with real key presses and
// clicks.
#include "deletion/alert.h"

#include <gtest/gtest.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <functional>
#include <thread>

#include "deletion/x_display.h"

namespace velmora::testing {
namespace {

// GTK on a private display, once per test process. False when no X server
// can be started here.
const XDisplay* gtkDisplay() {
  static XDisplay server;
  static const bool ready = [] {
    if (server.name().empty()) return false;
    const char* old = std::getenv("DISPLAY");
    const std::string saved = old ? old : "";
    ::setenv("DISPLAY", server.name().c_str(), 1);
    const bool opened = gtk_init_check(nullptr, nullptr) != FALSE;
    if (old) {
      ::setenv("DISPLAY", saved.c_str(), 1);
    } else {
      ::unsetenv("DISPLAY");
    }
    return opened;
  }();
  return ready ? &server : nullptr;
}

std::vector<GtkWidget*> childrenOf(GtkWidget* container) {
  std::vector<GtkWidget*> children;
  GList* list = gtk_container_get_children(GTK_CONTAINER(container));
  for (GList* item = list; item != nullptr; item = item->next) {
    children.push_back(GTK_WIDGET(item->data));
  }
  g_list_free(list);
  return children;
}

GtkWidget* button(GtkWidget* dialog, int response) {
  return gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response);
}

TEST(Alert, SaysHowManyAndOffersDeleteFirstAsTheDefault) {
  if (gtkDisplay() == nullptr) GTEST_SKIP() << "no X server (Xvfb) could be started";
  for (const unsigned long count : {2ul, 12345ul}) {
    GtkWidget* dialog = deletion::buildAlert(count);
    gchar* text = nullptr;
    gchar* secondary = nullptr;
    g_object_get(dialog, "text", &text, "secondary-text", &secondary, nullptr);
    EXPECT_EQ(std::string(text), std::to_string(count) + " Medien aus Fotos l\u00f6schen?");
    EXPECT_EQ(std::string(secondary),
              "Die Auswahl wird in Fotos gel\u00f6scht und ist normalerweise unter "
              "\u201aZuletzt gel\u00f6scht\u2018 wiederherstellbar. Bei iCloud-Fotos gilt dies "
              "auf allen synchronisierten Ger\u00e4ten. Eine endg\u00fcltige Leerung erfolgt "
              "nicht.");
    g_free(text);
    g_free(secondary);

    GtkWidget* confirm = button(dialog, deletion::alertConfirmResponse);
    GtkWidget* cancel = button(dialog, GTK_RESPONSE_CANCEL);
    ASSERT_NE(confirm, nullptr);
    ASSERT_NE(cancel, nullptr);
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(confirm)), "Aus Fotos l\u00f6schen");
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(cancel)), "Abbrechen");
    EXPECT_EQ(childrenOf(gtk_widget_get_parent(confirm)),
              (std::vector<GtkWidget*>{confirm, cancel}));
    EXPECT_EQ(gtk_window_get_default_widget(GTK_WINDOW(dialog)), confirm);
    EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(dialog)), confirm);
    EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
    gtk_widget_destroy(dialog);
  }
}

GtkWidget* shownAlert() {
  GtkWidget* found = nullptr;
  GList* windows = gtk_window_list_toplevels();
  for (GList* item = windows; item != nullptr; item = item->next) {
    GtkWidget* window = GTK_WIDGET(item->data);
    if (GTK_IS_MESSAGE_DIALOG(window) && gtk_widget_get_mapped(window)) found = window;
  }
  g_list_free(windows);
  return found;
}

// Where a button's centre is on the screen.
std::pair<int, int> screenCentre(GtkWidget* widget) {
  GtkAllocation allocation;
  gtk_widget_get_allocation(widget, &allocation);
  int x = 0;
  int y = 0;
  gdk_window_get_origin(gtk_widget_get_window(widget), &x, &y);
  return {x + allocation.x + allocation.width / 2, y + allocation.y + allocation.height / 2};
}

struct Answering {
  const XDisplay* display;
  std::function<std::vector<std::vector<std::string>>(GtkWidget* dialog)> answer;
  std::vector<std::thread> tools;
  int waited = 0;
  bool gaveUp = false;
};

// Answers once the alert is shown and has the keyboard focus: GTK calls
// directly, or xdotool commands run beside the alert's modal loop.
gboolean answerAlert(gpointer data) {
  auto* answering = static_cast<Answering*>(data);
  GtkWidget* dialog = shownAlert();
  if (dialog == nullptr || !gtk_window_is_active(GTK_WINDOW(dialog))) {
    if (++answering->waited < 200) return G_SOURCE_CONTINUE;
    answering->gaveUp = true;
    if (dialog != nullptr) gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_NONE);
    return G_SOURCE_REMOVE;
  }
  std::vector<std::vector<std::string>> commands = answering->answer(dialog);
  const XDisplay* display = answering->display;
  answering->tools.emplace_back([display, commands] {
    for (const auto& command : commands) display->xdotool(command);
  });
  return G_SOURCE_REMOVE;
}

TEST(Alert, OnlyTheFirstButtonConfirms) {
  const XDisplay* display = gtkDisplay();
  if (display == nullptr) GTEST_SKIP() << "no X server (Xvfb) could be started";
  using Commands = std::vector<std::vector<std::string>>;
  struct Case {
    const char* what;
    std::function<Commands(GtkWidget*)> answer;
    bool confirmed;
  };
  const auto click = [](int response) {
    return [response](GtkWidget* dialog) {
      const auto [x, y] = screenCentre(button(dialog, response));
      return Commands{{"mousemove", "--sync", std::to_string(x), std::to_string(y)},
                      {"click", "1"}};
    };
  };
  const std::vector<Case> cases = {
      {"Return",
       [](GtkWidget*) {
         return Commands{{"key", "Return"}};
       },
       true},
      {"Escape",
       [](GtkWidget*) {
         return Commands{{"key", "Escape"}};
       },
       false},
      {"Tab to the second button, then Return",
       [](GtkWidget*) {
         return Commands{{"key", "Tab"}, {"key", "Return"}};
       },
       false},
      {"click on the first button", click(deletion::alertConfirmResponse), true},
      {"click on the second button", click(GTK_RESPONSE_CANCEL), false},
      {"window closed as by a window manager",
       [](GtkWidget* dialog) {
         gtk_window_close(GTK_WINDOW(dialog));
         return Commands{};
       },
       false},
      {"window destroyed from outside",
       [](GtkWidget*) {
         return Commands{{"search", "--onlyvisible", "--name", "^Velmora$", "windowclose"}};
       },
       false},
      {"window destroyed while GTK still draws into it",
       [](GtkWidget* dialog) {
         // Destroyed through GTK's own connection, then changed before the
         // destruction's notice arrives: an X error that GDK would end the
         // process for.
         GdkWindow* window = gtk_widget_get_window(dialog);
         XDestroyWindow(GDK_WINDOW_XDISPLAY(window), GDK_WINDOW_XID(window));
         gdk_window_set_title(window, "gone");
         gdk_display_sync(gdk_window_get_display(window));
         return Commands{};
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Answering answering{display, c.answer, {}, 0, false};
    g_timeout_add(50, answerAlert, &answering);
    const bool confirmed = deletion::runAlert(2);
    for (std::thread& tool : answering.tools) tool.join();
    EXPECT_FALSE(answering.gaveUp) << "the alert never showed with the keyboard focus";
    EXPECT_EQ(confirmed, c.confirmed);
    EXPECT_EQ(shownAlert(), nullptr);
  }
}

}  // namespace
}  // namespace velmora::testing
