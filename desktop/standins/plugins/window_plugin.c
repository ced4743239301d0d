#include "window_plugin/window_plugin.h"

#include <flutter_linux/fl_standin.h>

// Weak: the window belongs to the shell.
static GtkWindow* registered_window = NULL;

// Records how the shell dressed the window, for tests that cannot read the
// header bar from outside the process.
static void trace_window(GtkWindow* window) {
  GtkWidget* focus = gtk_window_get_focus(window);
  const gchar* focus_name = focus != NULL ? G_OBJECT_TYPE_NAME(focus) : "none";
  GtkWidget* titlebar = gtk_window_get_titlebar(window);
  if (GTK_IS_HEADER_BAR(titlebar)) {
    GtkHeaderBar* bar = GTK_HEADER_BAR(titlebar);
    const gchar* title = gtk_header_bar_get_title(bar);
    fl_standin_trace(
        "shown titlebar=header-bar visible=%d title=\"%s\" close-button=%d "
        "focus=%s",
        gtk_widget_get_visible(titlebar), title != NULL ? title : "",
        gtk_header_bar_get_show_close_button(bar), focus_name);
  } else {
    const gchar* title = gtk_window_get_title(window);
    fl_standin_trace("shown titlebar=%s title=\"%s\" focus=%s",
                     titlebar != NULL ? G_OBJECT_TYPE_NAME(titlebar) : "none",
                     title != NULL ? title : "", focus_name);
  }
}

static gboolean show_window(gpointer user_data) {
  if (registered_window != NULL) {
    gtk_widget_show(GTK_WIDGET(registered_window));
    trace_window(registered_window);
  }
  return G_SOURCE_REMOVE;
}

void window_plugin_register_with_registrar(FlPluginRegistrar* registrar) {
  fl_standin_trace("register %s window_plugin_register_with_registrar",
                   fl_plugin_registrar_get_name(registrar));
  FlView* view = fl_plugin_registrar_get_view(registrar);
  if (view == NULL) {
    return;
  }
  GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(view));
  if (!GTK_IS_WINDOW(toplevel)) {
    return;
  }
  if (registered_window != NULL) {
    g_object_remove_weak_pointer(G_OBJECT(registered_window), (gpointer*)&registered_window);
  }
  registered_window = GTK_WINDOW(toplevel);
  g_object_add_weak_pointer(G_OBJECT(registered_window), (gpointer*)&registered_window);
  // Lets a test check that nothing but this plug-in shows the window.
  if (g_getenv("KORVANE_STANDIN_KEEP_HIDDEN") == NULL) {
    g_idle_add(show_window, NULL);
  }
}

void window_plugin_activate(void) {
  fl_standin_trace("activate");
  if (registered_window != NULL) {
    gtk_window_present(GTK_WINDOW(registered_window));
  }
}
