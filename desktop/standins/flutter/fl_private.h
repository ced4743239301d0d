#ifndef FL_PRIVATE_H_
#define FL_PRIVATE_H_

#include "flutter_linux/flutter_linux.h"

FlPluginRegistrar* fl_plugin_registrar_standin_new(FlView* view, const gchar* name);

#endif  // FL_PRIVATE_H_
