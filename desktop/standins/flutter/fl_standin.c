// O_CLOEXEC is POSIX 2008; the build asks for plain ISO C.
#define _POSIX_C_SOURCE 200809L

#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <unistd.h>

#include "flutter_linux/fl_standin.h"

void fl_standin_trace(const char* format, ...) {
  const char* path = g_getenv("KORVANE_STANDIN_TRACE");
  if (path == NULL || *path == '\0') {
    return;
  }
  va_list args;
  va_start(args, format);
  g_autofree gchar* body = g_strdup_vprintf(format, args);
  va_end(args);
  g_autofree gchar* line = g_strconcat(body, "\n", NULL);
  // One append-mode write per line keeps lines whole when two processes of
  // the shell trace into the same file.
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    return;
  }
  ssize_t written = write(fd, line, strlen(line));
  (void)written;
  close(fd);
}

gchar* fl_standin_describe_arguments(gchar** arguments) {
  if (arguments == NULL) {
    return g_strdup("NULL");
  }
  g_autofree gchar* joined = g_strjoinv(",", arguments);
  return g_strdup_printf("[%s]", joined);
}
