// SPDX-License-Identifier: MIT
/* The floor of a read request: only the work that any getquadview.cgi must do, made the way
 * quadview makes it. One exchange with the image-control service asks the tilt orientation
 * through a proxy without flags made for it, and releases value, reply and proxy before it
 * returns, as every exchange of quadview does; then the layout file is loaded, its four pans are
 * read, and a response of the same shape is printed. Nothing else is released and nothing is
 * checked beyond what keeps the program from crashing: the process ends right after. */

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

int main(void) {
  const char* group = ask_layout_group();

  GKeyFile* key_file = g_key_file_new();
  g_key_file_load_from_file(key_file, LAYOUT_PATH, G_KEY_FILE_NONE, NULL /* error */);
  int id[4];
  for (int i = 0; i < 4; i++) {
    char key[] = "subview0_pan";
    key[7] = (char)('0' + i);
    id[i] = g_key_file_get_integer(key_file, group, key, NULL /* error */) / 90 + 1;
  }

  printf(
      "Status: 200 OK\r\nContent-Type: text/xml\r\n\r\n"
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
      "<QuadViewResponse SchemaVersion=\"1.6.0\" "
      "xmlns=\"http://www.tarq.com/sefra/http_cgi/quadview\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:schemaLocation=\"http://www.tarq.com/sefra/http_cgi/quadview "
      "http://www.tarq.com/sefra/http_cgi/quadview\">"
      "<Success><GetQuadViewSuccess>"
      "<QuadViewSource><Id>%d</Id></QuadViewSource>"
      "<QuadViewSource><Id>%d</Id></QuadViewSource>"
      "<QuadViewSource><Id>%d</Id></QuadViewSource>"
      "<QuadViewSource><Id>%d</Id></QuadViewSource>"
      "</GetQuadViewSuccess></Success></QuadViewResponse>\n",
      id[0],
      id[1],
      id[2],
      id[3]);
  return 0;
}
