// The window-manager side of the desktop tests. Manages no windows: it only
// announces a window manager the way EWMH does, and asks windows to close.
//
//   wm_standin name NAME   announce a window manager called NAME
//   wm_standin nameless    announce a window manager that gives no name
//   wm_standin close ID    send WM_DELETE_WINDOW to window ID
//
// The announcement outlives the process (RetainPermanent) until the X server
// resets, so the tests have no daemon to stop.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int announce(Display* display, const char* name) {
  Window root = DefaultRootWindow(display);
  Window check = XCreateSimpleWindow(display, root, -100, -100, 1, 1, 0, 0, 0);
  Atom supporting = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", False);
  if (name != NULL) {
    XChangeProperty(display, check, XInternAtom(display, "_NET_WM_NAME", False),
                    XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                    (const unsigned char*)name, (int)strlen(name));
  }
  XChangeProperty(display, check, supporting, XA_WINDOW, 32, PropModeReplace,
                  (const unsigned char*)&check, 1);
  // Last, so a client never sees the root point at a half-built window.
  XChangeProperty(display, root, supporting, XA_WINDOW, 32, PropModeReplace,
                  (const unsigned char*)&check, 1);
  XSetCloseDownMode(display, RetainPermanent);
  return 0;
}

static int request_close(Display* display, const char* id) {
  char* end = NULL;
  Window window = (Window)strtoul(id, &end, 0);
  if (end == id || *end != '\0') {
    fprintf(stderr, "wm_standin: bad window id %s\n", id);
    return 2;
  }
  XEvent event;
  memset(&event, 0, sizeof event);
  event.xclient.type = ClientMessage;
  event.xclient.window = window;
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
  event.xclient.data.l[1] = CurrentTime;
  XSendEvent(display, window, False, NoEventMask, &event);
  return 0;
}

int main(int argc, char** argv) {
  Display* display = XOpenDisplay(NULL);
  if (display == NULL) {
    fprintf(stderr, "wm_standin: cannot open display\n");
    return 1;
  }
  int status = 2;
  if (argc == 3 && strcmp(argv[1], "name") == 0) {
    status = announce(display, argv[2]);
  } else if (argc == 2 && strcmp(argv[1], "nameless") == 0) {
    status = announce(display, NULL);
  } else if (argc == 3 && strcmp(argv[1], "close") == 0) {
    status = request_close(display, argv[2]);
  } else {
    fprintf(stderr, "usage: wm_standin name NAME | nameless | close ID\n");
  }
  XCloseDisplay(display);
  return status;
}
