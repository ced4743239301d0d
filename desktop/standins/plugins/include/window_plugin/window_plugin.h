// Stand-in window plug-in: shows the window the view lives in once the view
// is up, and brings it forward when another start of the shell is forwarded.
#ifndef WINDOW_PLUGIN_WINDOW_PLUGIN_H_
#define WINDOW_PLUGIN_WINDOW_PLUGIN_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

__attribute__((visibility("default"))) void window_plugin_register_with_registrar(
    FlPluginRegistrar* registrar);

__attribute__((visibility("default"))) void window_plugin_activate(void);

G_END_DECLS

#endif  // WINDOW_PLUGIN_WINDOW_PLUGIN_H_
