/* The floor of a write request: only the work that any setquadview.cgi must do, made the way
 * quadview makes it. The tilt orientation is asked twice, each time through a new proxy without
 * flags (once to read the current layout, once more right before writing, as the mount may
 * change), the layout file is loaded, four pans are set and saved, one more proxy sends the
 * reload command, and a response of the same shape is printed. The id list is fixed: parsing
 * the query is quadview's own work. Nothing is released, as the process ends right after; so the
 * three proxies share one bus connection, and the second one finds the first one's signal
 * subscriptions in place. */

#include <gio/gio.h>
#include <stdio.h>

static const char* ask_layout_group(void) {
  GDBusProxy* proxy = g_dbus_proxy_new_for_bus_sync(
      G_BUS_TYPE_SYSTEM,
      G_DBUS_PROXY_FLAGS_NONE,
      NULL /* interface info */,
      "com.tarq.ImageControl",
      "/com/tarq/ImageControl/0/0",
      "com.tarq.ImageControl",
      NULL /* cancellable */,
      NULL /* error */);
  GVariant* reply = g_dbus_proxy_call_sync(
      proxy,
      "org.freedesktop.DBus.Properties.Get",
      g_variant_new("(ss)", "com.tarq.ImageControl", "CameraTiltOrientation"),
      G_DBUS_CALL_FLAGS_NONE,
      -1 /* default timeout */,
      NULL /* cancellable */,
      NULL /* error */);
  GVariant* value = NULL;
  g_variant_get(reply, "(v)", &value);
  return g_strcmp0(g_variant_get_string(value, NULL), "-90") == 0 ? "QUADVIEW_CEILING"
                                                                  : "QUADVIEW_DESK";
}

int main(void) {
  static const int kPans[4] = {90, 180, 270, 0}; /* id=2,3,4,1 */

  ask_layout_group();
  const char* group = ask_layout_group();

  GKeyFile* key_file = g_key_file_new();
  g_key_file_load_from_file(key_file, LAYOUT_PATH, G_KEY_FILE_NONE, NULL /* error */);
  for (int i = 0; i < 4; i++) {
    char key[] = "subview0_pan";
    key[7] = (char)('0' + i);
    g_key_file_set_integer(key_file, group, key, kPans[i]);
  }
  g_key_file_save_to_file(key_file, LAYOUT_PATH, NULL /* error */);

  GDBusProxy* ptz = g_dbus_proxy_new_for_bus_sync(
      G_BUS_TYPE_SYSTEM,
      G_DBUS_PROXY_FLAGS_NONE,
      NULL /* interface info */,
      "com.tarq.PTZ.Coordinator",
      "/com/tarq/PTZ/Coordinator/4",
      "com.tarq.PTZ.Coordinator",
      NULL /* cancellable */,
      NULL /* error */);
  g_dbus_proxy_call_sync(
      ptz,
      "Auxiliary",
      g_variant_new("(sis)", "Onvif", 0, "reload_quadview_config"),
      G_DBUS_CALL_FLAGS_NONE,
      -1 /* default timeout */,
      NULL /* cancellable */,
      NULL /* error */);

  fputs(
      "Status: 200\r\nContent-Type: text/xml\r\n\r\n"
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<QuadViewResponse SchemaVersion=\"1.6.0\" "
      "xmlns=\"http://www.tarq.com/sefra/http_cgi/quadview\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:schemaLocation=\"http://www.tarq.com/sefra/http_cgi/quadview "
      "http://www.tarq.com/sefra/http_cgi/quadview\">"
      "<Success><GeneralSuccess/></Success></QuadViewResponse>\n",
      stdout);
  return 0;
}
