#include "fl_private.h"
#include "flutter_linux/fl_standin.h"

G_DEFINE_INTERFACE(FlPluginRegistry, fl_plugin_registry, G_TYPE_OBJECT)

static void fl_plugin_registry_default_init(FlPluginRegistryInterface* iface) {}

FlPluginRegistrar* fl_plugin_registry_get_registrar_for_plugin(FlPluginRegistry* self,
                                                               const gchar* name) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRY(self), NULL);
  g_return_val_if_fail(name != NULL, NULL);
  return FL_PLUGIN_REGISTRY_GET_IFACE(self)->get_registrar_for_plugin(self, name);
}

struct _FlPluginRegistrar {
  GObject parent_instance;

  gchar* name;
  // Weak: a plug-in holding its registrar must not keep the view alive.
  FlView* view;
};

G_DEFINE_TYPE(FlPluginRegistrar, fl_plugin_registrar, G_TYPE_OBJECT)

static void fl_plugin_registrar_dispose(GObject* object) {
  FlPluginRegistrar* self = FL_PLUGIN_REGISTRAR(object);
  if (self->view != NULL) {
    g_object_remove_weak_pointer(G_OBJECT(self->view), (gpointer*)&self->view);
    self->view = NULL;
  }
  G_OBJECT_CLASS(fl_plugin_registrar_parent_class)->dispose(object);
}

static void fl_plugin_registrar_finalize(GObject* object) {
  FlPluginRegistrar* self = FL_PLUGIN_REGISTRAR(object);
  // Lets tests check that the shell drops every registrar it was given.
  fl_standin_trace("release %s", self->name);
  g_free(self->name);
  G_OBJECT_CLASS(fl_plugin_registrar_parent_class)->finalize(object);
}

static void fl_plugin_registrar_class_init(FlPluginRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_plugin_registrar_dispose;
  G_OBJECT_CLASS(klass)->finalize = fl_plugin_registrar_finalize;
}

static void fl_plugin_registrar_init(FlPluginRegistrar* self) {}

FlPluginRegistrar* fl_plugin_registrar_standin_new(FlView* view, const gchar* name) {
  FlPluginRegistrar* self = FL_PLUGIN_REGISTRAR(g_object_new(fl_plugin_registrar_get_type(), NULL));
  self->name = g_strdup(name);
  self->view = view;
  g_object_add_weak_pointer(G_OBJECT(view), (gpointer*)&self->view);
  return self;
}

FlView* fl_plugin_registrar_get_view(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), NULL);
  return self->view;
}

const gchar* fl_plugin_registrar_get_name(FlPluginRegistrar* self) {
  g_return_val_if_fail(FL_IS_PLUGIN_REGISTRAR(self), NULL);
  return self->name;
}
