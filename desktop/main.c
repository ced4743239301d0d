#include <X11/Xlib.h>

#include "my_application.h"

int main(int argc, char** argv) {
  // Plug-ins may talk to Xlib from their own threads.
  XInitThreads();
  g_autoptr(MyApplication) app = my_application_new();
  return g_application_run(G_APPLICATION(app), argc, argv);
}
