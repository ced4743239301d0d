// Extras of the stand-in engine that the real one does not have: they let
// tests see from outside the process what the shell asked for.
#ifndef FLUTTER_LINUX_FL_STANDIN_H_
#define FLUTTER_LINUX_FL_STANDIN_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

// Appends one line to the file named by KORVANE_STANDIN_TRACE; does nothing
// when the variable is unset.
void fl_standin_trace(const char* format, ...) G_GNUC_PRINTF(1, 2);

// "NULL", "[]" or "[a,b]"; the caller frees it.
gchar* fl_standin_describe_arguments(gchar** arguments);

const gchar* fl_plugin_registrar_get_name(FlPluginRegistrar* registrar);

G_END_DECLS

#endif  // FLUTTER_LINUX_FL_STANDIN_H_
