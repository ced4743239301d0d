#ifndef MY_APPLICATION_H_
#define MY_APPLICATION_H_

#include <gtk/gtk.h>

G_DECLARE_FINAL_TYPE(MyApplication, my_application, MY, APPLICATION, GtkApplication)

/**
 * my_application_new:
 *
 * Creates the application: one main window hosting the engine's view, and a
 * single instance per session (later starts are forwarded to it).
 *
 * Returns: a new #MyApplication.
 */
MyApplication* my_application_new(void);

#endif  // MY_APPLICATION_H_
