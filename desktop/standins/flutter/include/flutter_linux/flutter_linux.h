// Stand-in for the engine's embedder API: just enough of it for the shell
// and the stand-in plug-ins to build and run without the engine.
#ifndef FLUTTER_LINUX_FLUTTER_LINUX_H_
#define FLUTTER_LINUX_FLUTTER_LINUX_H_

#include <gtk/gtk.h>

G_BEGIN_DECLS

G_DECLARE_FINAL_TYPE(FlDartProject, fl_dart_project, FL, DART_PROJECT, GObject)

FlDartProject* fl_dart_project_new(void);

// Copies `arguments` (NULL-terminated, or NULL for none given).
void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* project, char** arguments);

gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* project);

G_DECLARE_FINAL_TYPE(FlPluginRegistrar, fl_plugin_registrar, FL, PLUGIN_REGISTRAR, GObject)

G_DECLARE_INTERFACE(FlPluginRegistry, fl_plugin_registry, FL, PLUGIN_REGISTRY, GObject)

struct _FlPluginRegistryInterface {
  GTypeInterface g_iface;

  FlPluginRegistrar* (*get_registrar_for_plugin)(FlPluginRegistry* registry, const gchar* name);
};

// Returns a new reference.
FlPluginRegistrar* fl_plugin_registry_get_registrar_for_plugin(FlPluginRegistry* registry,
                                                               const gchar* name);

G_DECLARE_FINAL_TYPE(FlView, fl_view, FL, VIEW, GtkDrawingArea)

FlView* fl_view_new(FlDartProject* project);

void fl_view_set_background_color(FlView* view, const GdkRGBA* color);

// The view the plug-in was registered for, or NULL once it is gone.
FlView* fl_plugin_registrar_get_view(FlPluginRegistrar* registrar);

G_END_DECLS

#endif  // FLUTTER_LINUX_FLUTTER_LINUX_H_
