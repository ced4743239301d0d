#include "flutter_linux/fl_standin.h"

struct _FlDartProject {
  GObject parent_instance;

  gchar** entrypoint_arguments;
};

G_DEFINE_TYPE(FlDartProject, fl_dart_project, G_TYPE_OBJECT)

static void fl_dart_project_dispose(GObject* object) {
  FlDartProject* self = FL_DART_PROJECT(object);
  g_clear_pointer(&self->entrypoint_arguments, g_strfreev);
  G_OBJECT_CLASS(fl_dart_project_parent_class)->dispose(object);
}

static void fl_dart_project_class_init(FlDartProjectClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_dart_project_dispose;
}

static void fl_dart_project_init(FlDartProject* self) {}

FlDartProject* fl_dart_project_new(void) {
  return FL_DART_PROJECT(g_object_new(fl_dart_project_get_type(), NULL));
}

void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* self, char** arguments) {
  g_return_if_fail(FL_IS_DART_PROJECT(self));
  g_clear_pointer(&self->entrypoint_arguments, g_strfreev);
  self->entrypoint_arguments = g_strdupv(arguments);
  g_autofree gchar* described = fl_standin_describe_arguments(arguments);
  fl_standin_trace("entrypoint %s", described);
}

gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* self) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(self), NULL);
  return self->entrypoint_arguments;
}
