#include "generated_plugin_registrant.h"

#include <app_links_linux_plugin/app_links_linux_plugin.h>
#include <dynamic_color_plugin/dynamic_color_plugin.h>
#include <file_selector_linux_plugin/file_selector_linux_plugin.h>
#include <screen_retriever_linux_plugin/screen_retriever_linux_plugin.h>
#include <tray_plugin/tray_plugin.h>
#include <url_launcher_linux_plugin/url_launcher_linux_plugin.h>
#include <wifi_ssid_plugin/wifi_ssid_plugin.h>
#include <window_plugin/window_plugin.h>

void fl_register_plugins(FlPluginRegistry* registry) {
  g_autoptr(FlPluginRegistrar) app_links_registrar =
      fl_plugin_registry_get_registrar_for_plugin(registry, "AppLinksPluginLinux");
  app_links_plugin_linux_register_with_registrar(app_links_registrar);
  g_autoptr(FlPluginRegistrar) dynamic_color_registrar =
      fl_plugin_registry_get_registrar_for_plugin(registry, "DynamicColorPlugin");
  dynamic_color_plugin_register_with_registrar(dynamic_color_registrar);
  g_autoptr(FlPluginRegistrar) file_selector_linux_registrar =
      fl_plugin_registry_get_registrar_for_plugin(registry, "FileSelectorPlugin");
  file_selector_plugin_register_with_registrar(file_selector_linux_registrar);
  g_autoptr(FlPluginRegistrar) screen_retriever_linux_registrar =
      fl_plugin_registry_get_registrar_for_plugin(registry, "ScreenRetrieverLinuxPlugin");
  screen_retriever_linux_plugin_register_with_registrar(screen_retriever_linux_registrar);
  g_autoptr(FlPluginRegistrar) tray_registrar =
      fl_plugin_registry_get_registrar_for_plugin(registry, "TrayPlugin");
  tray_plugin_register_with_registrar(tray_registrar);
  g_autoptr(FlPluginRegistrar) url_launcher_linux_registrar =
      fl_plugin_registry_get_registrar_for_plugin(registry, "UrlLauncherPlugin");
  url_launcher_plugin_register_with_registrar(url_launcher_linux_registrar);
  g_autoptr(FlPluginRegistrar) wifi_ssid_registrar =
      fl_plugin_registry_get_registrar_for_plugin(registry, "WifiSsidPlugin");
  wifi_ssid_plugin_register_with_registrar(wifi_ssid_registrar);
  g_autoptr(FlPluginRegistrar) window_registrar =
      fl_plugin_registry_get_registrar_for_plugin(registry, "WindowPlugin");
  window_plugin_register_with_registrar(window_registrar);
  // g_autoptr releases in reverse order of declaration when this scope ends.
}
