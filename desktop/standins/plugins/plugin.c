// One source for every stand-in plug-in that does nothing but register;
// the build names the function and the header.
#include <flutter_linux/fl_standin.h>

#include PLUGIN_HEADER

void PLUGIN_FUNCTION(FlPluginRegistrar* registrar) {
  fl_standin_trace("register %s %s", fl_plugin_registrar_get_name(registrar),
                   G_STRINGIFY(PLUGIN_FUNCTION));
}
