// SPDX-License-Identifier: MIT
/* The floor of a write request: only the work that any setquadview.cgi must do, made the way
 * quadview makes it. The tilt orientation is asked twice, each time in an exchange of its own
 * through a new proxy without flags (once to read the current layout, once more right before
 * writing, as the mount may change), the layout file is loaded, four pans are set and saved, one
 * more exchange sends the reload command, and a response of the same shape is printed. Every
 * exchange releases value, reply and proxy before it returns, in the order quadview's do; nothing
 * else is released, as the process ends right after. The id list is fixed: parsing the query is
 * quadview's own work. Unlike quadview, the floor does not hold the bus connection across the
 * request: the connection goes with each exchange's proxy, and the next exchange connects anew. */

#include <gio/gio.h>
#include <stdio.h>

#include "device/camera_services.h"

static const char* ask_layout_group(void) {
  GDBusProxy* proxy = g_dbus_proxy_new_for_bus_sync(
      G_BUS_TYPE_SYSTEM,
      G_DBUS_PROXY_FLAGS_NONE,
      NULL /* interface info */,
      QUADVIEW_IMAGE_CONTROL_NAME,
      QUADVIEW_IMAGE_CONTROL_PATH,
      QUADVIEW_IMAGE_CONTROL_INTERFACE,
      NULL /* cancellable */,
      NULL /* error */);
  GVariant* reply = g_dbus_proxy_call_sync(
      proxy,
      "org.freedesktop.DBus.Properties.Get",
      g_variant_new("(ss)", QUADVIEW_IMAGE_CONTROL_INTERFACE, QUADVIEW_TILT_PROPERTY),
      G_DBUS_CALL_FLAGS_NONE,
      -1 /* default timeout */,
      NULL /* cancellable */,
      NULL /* error */);
  GVariant* value = NULL;
  g_variant_get(reply, "(v)", &value);
  const char* group = g_strcmp0(g_variant_get_string(value, NULL), "-90") == 0 ? "QUADVIEW_CEILING"
                                                                               : "QUADVIEW_DESK";
  g_variant_unref(value);
  g_variant_unref(reply);
  g_object_unref(proxy);
  return group;
}

static void send_reload_command(void) {
  GDBusProxy* proxy = g_dbus_proxy_new_for_bus_sync(
      G_BUS_TYPE_SYSTEM,
      G_DBUS_PROXY_FLAGS_NONE,
      NULL /* interface info */,
      QUADVIEW_PTZ_NAME,
      QUADVIEW_PTZ_PATH,
      QUADVIEW_PTZ_INTERFACE,
      NULL /* cancellable */,
      NULL /* error */);
  GVariant* reply = g_dbus_proxy_call_sync(
      proxy,
      QUADVIEW_PTZ_METHOD,
      g_variant_new("(sis)", "Onvif", 0, QUADVIEW_RELOAD_COMMAND),
      G_DBUS_CALL_FLAGS_NONE,
      -1 /* default timeout */,
      NULL /* cancellable */,
      NULL /* error */);
  g_variant_unref(reply);
  g_object_unref(proxy);
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

  send_reload_command();

  fputs(
      "Status: 200 OK\r\nContent-Type: text/xml\r\n\r\n"
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
