#include "my_application.h"

#include <flutter_linux/flutter_linux.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif
#include <window_plugin/window_plugin.h>

#include "generated_plugin_registrant.h"

#define APPLICATION_ID "com.brivel.ostra.vesk"
#define WINDOW_TITLE "Korvane_Vesk"
#define WINDOW_WIDTH 680
#define WINDOW_HEIGHT 580
#define ICON_ASSET "data/flutter_assets/assets/images/icon.png"
#define ICON_SIZE 256
#define VIEW_BACKGROUND_COLOR "#000000"
// The one window manager known to draw header bars well; elsewhere the
// window manager's own title bar is kept.
#define HEADER_BAR_WINDOW_MANAGER "GNOME Shell"

struct _MyApplication {
  GtkApplication parent_instance;

  // Arguments of the first command line handled, without the program name.
  char** entrypoint_arguments;
  // Whether a window existed when the current remote request arrived, i.e.
  // whether this is a later start forwarded to the running instance.
  gboolean had_window_before_emit;
};

G_DEFINE_TYPE(MyApplication, my_application, GTK_TYPE_APPLICATION)

static gboolean use_header_bar(GtkWindow* window) {
#ifdef GDK_WINDOWING_X11
  GdkScreen* screen = gtk_window_get_screen(window);
  if (GDK_IS_X11_SCREEN(screen)) {
    const gchar* wm_name = gdk_x11_screen_get_window_manager_name(screen);
    return g_strcmp0(wm_name, HEADER_BAR_WINDOW_MANAGER) == 0;
  }
#endif
  return TRUE;
}

// Leaves the window without an icon when the asset is missing or unreadable:
// that is not worth a message.
static void set_window_icon(GtkWindow* window) {
  g_autofree gchar* executable = g_file_read_link("/proc/self/exe", NULL);
  if (executable == NULL) {
    return;
  }
  g_autofree gchar* directory = g_path_get_dirname(executable);
  g_autofree gchar* icon_path = g_build_filename(directory, ICON_ASSET, NULL);
  g_autoptr(GdkPixbuf) icon =
      gdk_pixbuf_new_from_file_at_scale(icon_path, ICON_SIZE, ICON_SIZE, TRUE, NULL);
  if (icon != NULL) {
    gtk_window_set_icon(window, icon);
  }
}

// Implements GApplication::activate.
static void my_application_activate(GApplication* application) {
  MyApplication* self = MY_APPLICATION(application);
  // A later start only brings the existing window forward (after_emit).
  if (self->had_window_before_emit) {
    return;
  }

  GtkWindow* window = GTK_WINDOW(gtk_application_window_new(GTK_APPLICATION(application)));

  if (use_header_bar(window)) {
    GtkHeaderBar* header_bar = GTK_HEADER_BAR(gtk_header_bar_new());
    gtk_widget_show(GTK_WIDGET(header_bar));
    gtk_header_bar_set_title(header_bar, WINDOW_TITLE);
    gtk_header_bar_set_show_close_button(header_bar, TRUE);
    gtk_window_set_titlebar(window, GTK_WIDGET(header_bar));
  } else {
    gtk_window_set_title(window, WINDOW_TITLE);
  }

  gtk_window_set_default_size(window, WINDOW_WIDTH, WINDOW_HEIGHT);
  set_window_icon(window);

  g_autoptr(FlDartProject) project = fl_dart_project_new();
  fl_dart_project_set_dart_entrypoint_arguments(project, self->entrypoint_arguments);

  FlView* view = fl_view_new(project);
  GdkRGBA background_color;
  gdk_rgba_parse(&background_color, VIEW_BACKGROUND_COLOR);
  fl_view_set_background_color(view, &background_color);
  gtk_widget_show(GTK_WIDGET(view));
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));

  // Plug-ins expect a realized view.
  gtk_widget_realize(GTK_WIDGET(view));

  fl_register_plugins(FL_PLUGIN_REGISTRY(view));

  gtk_widget_grab_focus(GTK_WIDGET(view));
  // The window stays hidden: the application shows it through its window
  // plug-in once its first frame is ready.
}

// Implements GApplication::command_line.
static int my_application_command_line(GApplication* application,
                                       GApplicationCommandLine* command_line) {
  MyApplication* self = MY_APPLICATION(application);
  // The engine runs once, so only the first command line reaches it.
  if (self->entrypoint_arguments == NULL) {
    g_auto(GStrv) arguments = g_application_command_line_get_arguments(command_line, NULL);
    // Skips the program name; no arguments gives an empty vector, not NULL.
    self->entrypoint_arguments = arguments[0] != NULL ? g_strdupv(arguments + 1) : g_new0(char*, 1);
  }
  g_application_activate(application);
  return 0;
}

// Implements GApplication::startup.
static void my_application_startup(GApplication* application) {
  G_APPLICATION_CLASS(my_application_parent_class)->startup(application);
}

// Implements GApplication::before_emit.
static void my_application_before_emit(GApplication* application, GVariant* platform_data) {
  MyApplication* self = MY_APPLICATION(application);
  self->had_window_before_emit = gtk_application_get_windows(GTK_APPLICATION(application)) != NULL;
  G_APPLICATION_CLASS(my_application_parent_class)->before_emit(application, platform_data);
}

// Implements GApplication::after_emit.
static void my_application_after_emit(GApplication* application, GVariant* platform_data) {
  MyApplication* self = MY_APPLICATION(application);
  if (self->had_window_before_emit) {
    window_plugin_activate();
  }
  G_APPLICATION_CLASS(my_application_parent_class)->after_emit(application, platform_data);
}

// Implements GApplication::shutdown.
static void my_application_shutdown(GApplication* application) {
  G_APPLICATION_CLASS(my_application_parent_class)->shutdown(application);
}

// Implements GObject::dispose.
static void my_application_dispose(GObject* object) {
  MyApplication* self = MY_APPLICATION(object);
  g_clear_pointer(&self->entrypoint_arguments, g_strfreev);
  G_OBJECT_CLASS(my_application_parent_class)->dispose(object);
}

static void my_application_class_init(MyApplicationClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = my_application_dispose;
  G_APPLICATION_CLASS(klass)->startup = my_application_startup;
  G_APPLICATION_CLASS(klass)->activate = my_application_activate;
  G_APPLICATION_CLASS(klass)->command_line = my_application_command_line;
  G_APPLICATION_CLASS(klass)->before_emit = my_application_before_emit;
  G_APPLICATION_CLASS(klass)->after_emit = my_application_after_emit;
  G_APPLICATION_CLASS(klass)->shutdown = my_application_shutdown;
}

static void my_application_init(MyApplication* self) {}

MyApplication* my_application_new(void) {
  // The window manager groups windows by program name: make it the ID.
  g_set_prgname(APPLICATION_ID);

  return MY_APPLICATION(g_object_new(my_application_get_type(), "application-id", APPLICATION_ID,
                                     "flags", G_APPLICATION_HANDLES_COMMAND_LINE, NULL));
}
