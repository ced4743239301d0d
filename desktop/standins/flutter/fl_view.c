#include "fl_private.h"
#include "flutter_linux/fl_standin.h"

// Paints what the engine was given instead of running any Dart code: the
// background colour and the entry-point arguments.
struct _FlView {
  GtkDrawingArea parent_instance;

  FlDartProject* project;
  GdkRGBA background_color;
};

static void fl_view_plugin_registry_iface_init(FlPluginRegistryInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlView, fl_view, GTK_TYPE_DRAWING_AREA,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registry_get_type(),
                                              fl_view_plugin_registry_iface_init))

static FlPluginRegistrar* fl_view_get_registrar_for_plugin(FlPluginRegistry* registry,
                                                           const gchar* name) {
  return fl_plugin_registrar_standin_new(FL_VIEW(registry), name);
}

static void fl_view_plugin_registry_iface_init(FlPluginRegistryInterface* iface) {
  iface->get_registrar_for_plugin = fl_view_get_registrar_for_plugin;
}

static gboolean fl_view_draw(GtkWidget* widget, cairo_t* cr) {
  FlView* self = FL_VIEW(widget);
  gdk_cairo_set_source_rgba(cr, &self->background_color);
  cairo_paint(cr);

  g_autofree gchar* arguments =
      fl_standin_describe_arguments(fl_dart_project_get_dart_entrypoint_arguments(self->project));
  g_autofree gchar* text = g_strdup_printf("Stand-in engine view - entry point %s", arguments);
  // Contrast with whatever background the shell picked.
  double luminance = 0.3 * self->background_color.red + 0.6 * self->background_color.green +
                     0.1 * self->background_color.blue;
  double ink = luminance > 0.5 ? 0.0 : 1.0;
  cairo_set_source_rgb(cr, ink, ink, ink);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 16);
  cairo_move_to(cr, 16, 32);
  cairo_show_text(cr, text);
  return TRUE;
}

static void fl_view_dispose(GObject* object) {
  FlView* self = FL_VIEW(object);
  g_clear_object(&self->project);
  G_OBJECT_CLASS(fl_view_parent_class)->dispose(object);
}

static void fl_view_class_init(FlViewClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_view_dispose;
  GTK_WIDGET_CLASS(klass)->draw = fl_view_draw;
}

static void fl_view_init(FlView* self) {
  // The engine's default until the shell picks one.
  self->background_color = (GdkRGBA){1.0, 1.0, 1.0, 1.0};
  gtk_widget_set_can_focus(GTK_WIDGET(self), TRUE);
}

FlView* fl_view_new(FlDartProject* project) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), NULL);
  FlView* self = FL_VIEW(g_object_new(fl_view_get_type(), NULL));
  self->project = FL_DART_PROJECT(g_object_ref(project));
  return self;
}

void fl_view_set_background_color(FlView* self, const GdkRGBA* color) {
  g_return_if_fail(FL_IS_VIEW(self));
  g_return_if_fail(color != NULL);
  self->background_color = *color;
  gtk_widget_queue_draw(GTK_WIDGET(self));
}
