// SPDX-License-Identifier: MIT
// quadview-sim: the camera services that quadview talks to, simulated on the bus named by
// DBUS_SYSTEM_BUS_ADDRESS for the tests, the demo and the benchmark. It owns
// the image-control service (the tilt orientation, answered from the command line) and the PTZ
// coordinator (the reload command), named in device/camera_services.h, prints "ready" once both
// names are its own, and exits 0 on SIGTERM or SIGINT.
//
//   --tilt VALUE              s:TEXT | ay:TEXT | ay-nonul:TEXT | i:N | error | wrong-type
//   --mount ceiling|desk      shorthand for --tilt s:-90 / s:90
//   --tilt-then VALUE         the answer to every Get after the first one
//   --no-image-control        leave the image-control service's name unowned
//   --ptz accept|error|absent how Auxiliary is answered, or leave the name unowned
//   --delay-ms N              wait before answering each Get and Auxiliary
//   --record FILE             append a line per method call received

#include <gio/gio.h>
#include <glib-unix.h>
#include <stdio.h>

#include <memory>
#include <string>

#include "device/camera_services.h"

namespace {

constexpr char kFailedError[] = "org.freedesktop.DBus.Error.Failed";

// Properties is declared here so that its calls reach our handler instead of GDBus's own. The
// image-control object serves the first interface, the PTZ object both.
constexpr char kIntrospection[] =
    "<node>"
    "  <interface name='org.freedesktop.DBus.Properties'>"
    "    <method name='Get'>"
    "      <arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "      <arg type='v' direction='out'/>"
    "    </method>"
    "  </interface>"
    "  <interface name='" QUADVIEW_PTZ_INTERFACE
    "'>"
    "    <method name='" QUADVIEW_PTZ_METHOD
    "'>"
    "      <arg type='s' direction='in'/><arg type='i' direction='in'/>"
    "      <arg type='s' direction='in'/>"
    "    </method>"
    "  </interface>"
    "</node>";

enum class ptz_mode { kAccept, kError, kAbsent };

struct simulator {
  std::string tilt = "s:-90";
  std::string tilt_then;  // empty: every Get gets `tilt`
  bool image_control = true;
  ptz_mode ptz = ptz_mode::kAccept;
  guint delay_ms = 0;
  FILE* record = nullptr;
  guint tilt_queries = 0;
  GDBusConnection* connection = nullptr;
};

// A reply waiting for --delay-ms: a body of nullptr stands for the simulated failure.
struct pending_reply {
  GDBusMethodInvocation* invocation;
  GVariant* body;
};

// Sends the reply as it stands: the Get reply of wrong-type does not match the declared "(v)",
// which g_dbus_method_invocation_return_value() would refuse.
gboolean send_reply(gpointer data) {
  auto* pending = static_cast<pending_reply*>(data);
  if (pending->body) {
    GDBusMessage* call = g_dbus_method_invocation_get_message(pending->invocation);
    g_autoptr(GDBusMessage) reply = g_dbus_message_new_method_reply(call);
    g_dbus_message_set_body(reply, pending->body);
    g_dbus_connection_send_message(
        g_dbus_method_invocation_get_connection(pending->invocation),
        reply,
        G_DBUS_SEND_MESSAGE_FLAGS_NONE,
        nullptr /* serial */,
        nullptr /* error */);
    g_object_unref(pending->invocation);
  } else {
    // A line break in it: the program must not let a service forge a log line.
    g_dbus_method_invocation_return_dbus_error(
        pending->invocation, kFailedError, "simulated\nfailure");
  }
  g_free(pending);
  return G_SOURCE_REMOVE;
}

// Answers with `body` (floating or owned; nullptr for the simulated failure) after `delay_ms`.
void reply_later(guint delay_ms, GDBusMethodInvocation* invocation, GVariant* body) {
  auto* pending = g_new0(pending_reply, 1);
  pending->invocation = invocation;
  pending->body = body ? g_variant_ref_sink(body) : nullptr;
  if (delay_ms == 0) {
    send_reply(pending);
    return;
  }
  g_timeout_add(delay_ms, send_reply, pending);
}

// The reply body for a tilt answer such as "ay:-90"; nullptr for "error".
GVariant* build_tilt_reply(const std::string& answer) {
  const size_t colon = answer.find(':');
  const std::string kind = answer.substr(0, colon);
  const std::string text = colon == std::string::npos ? "-90" : answer.substr(colon + 1);
  if (kind == "error") {
    return nullptr;
  }
  if (kind == "wrong-type") {
    return g_variant_new("(s)", text.c_str());
  }
  GVariant* value = nullptr;
  if (kind == "s") {
    value = g_variant_new_string(text.c_str());
  } else if (kind == "ay") {
    value = g_variant_new_bytestring(text.c_str());
  } else if (kind == "ay-nonul") {
    value = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, text.data(), text.size(), 1);
  } else {
    value = g_variant_new_int32(static_cast<gint32>(g_ascii_strtoll(text.c_str(), nullptr, 10)));
  }
  return g_variant_new("(v)", value);
}

bool is_valid_tilt(const std::string& answer) {
  const std::string kind = answer.substr(0, answer.find(':'));
  const bool has_text = kind.size() < answer.size();
  return ((kind == "s" || kind == "ay" || kind == "ay-nonul" || kind == "i") && has_text) ||
         kind == "error" || kind == "wrong-type";
}

void record_call(simulator* sim, const char* object, const char* member, GVariant* parameters) {
  if (!sim->record) {
    return;
  }
  g_autoptr(GString) line = g_string_new(object);
  g_string_append_printf(line, " %s", member);
  for (gsize i = 0; i < g_variant_n_children(parameters); i++) {
    g_autoptr(GVariant) child = g_variant_get_child_value(parameters, i);
    g_autofree char* printed = g_variant_is_of_type(child, G_VARIANT_TYPE_STRING)
                                   ? g_variant_dup_string(child, nullptr)
                                   : g_variant_print(child, FALSE /* type annotate */);
    g_string_append_printf(line, " %s", printed);
  }
  fprintf(sim->record, "%s\n", line->str);
  fflush(sim->record);
}

void handle_call(
    GDBusConnection* /* connection */,
    const char* /* sender */,
    const char* object_path,
    const char* /* interface */,
    const char* member,
    GVariant* parameters,
    GDBusMethodInvocation* invocation,
    gpointer data) {
  auto* sim = static_cast<simulator*>(data);
  const bool image_control = g_strcmp0(object_path, QUADVIEW_IMAGE_CONTROL_PATH) == 0;
  record_call(sim, image_control ? "ImageControl" : "PTZ", member, parameters);

  if (g_strcmp0(member, QUADVIEW_PTZ_METHOD) == 0) {
    reply_later(
        sim->delay_ms, invocation, sim->ptz == ptz_mode::kError ? nullptr : g_variant_new("()"));
    return;
  }

  const char* property = nullptr;
  g_variant_get(parameters, "(&s&s)", nullptr, &property);
  if (!image_control || g_strcmp0(property, QUADVIEW_TILT_PROPERTY) != 0) {
    g_dbus_method_invocation_return_dbus_error(
        invocation, "org.freedesktop.DBus.Error.InvalidArgs", "No such property");
    return;
  }
  const bool first = sim->tilt_queries++ == 0;
  const std::string& answer = first || sim->tilt_then.empty() ? sim->tilt : sim->tilt_then;
  reply_later(sim->delay_ms, invocation, build_tilt_reply(answer));
}

// Exports the simulated object under `path` with the first `interfaces` of the node and takes
// `name`; false when that fails, say because another owner has the name.
bool serve(
    simulator* sim, GDBusNodeInfo* node, int interfaces, const char* path, const char* name) {
  static const GDBusInterfaceVTable vtable = {handle_call, nullptr, nullptr, {}};
  for (int i = 0; i < interfaces; i++) {
    g_autoptr(GError) error = nullptr;
    if (!g_dbus_connection_register_object(
            sim->connection, path, node->interfaces[i], &vtable, sim, nullptr, &error)) {
      g_printerr("quadview-sim: cannot export %s: %s\n", path, error->message);
      return false;
    }
  }

  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      sim->connection,
      "org.freedesktop.DBus",
      "/org/freedesktop/DBus",
      "org.freedesktop.DBus",
      "RequestName",
      g_variant_new("(su)", name, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE),
      G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE,
      -1 /* default timeout */,
      nullptr /* cancellable */,
      &error);
  guint32 result = 0;
  if (reply) {
    g_variant_get(reply, "(u)", &result);
  }
  // 1 is DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER.
  if (result != 1) {
    g_printerr("quadview-sim: cannot own %s: %s\n", name, error ? error->message : "taken");
    return false;
  }
  return true;
}

gboolean quit_loop(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_REMOVE;
}

int run(int argc, char** argv) {
  g_autofree char* tilt = nullptr;
  g_autofree char* mount = nullptr;
  g_autofree char* tilt_then = nullptr;
  g_autofree char* ptz = nullptr;
  g_autofree char* record = nullptr;
  gboolean no_image_control = FALSE;
  gint delay_ms = 0;
  const GOptionEntry entries[] = {
      {"tilt", 0, 0, G_OPTION_ARG_STRING, &tilt, "CameraTiltOrientation answer", "VALUE"},
      {"mount", 0, 0, G_OPTION_ARG_STRING, &mount, "ceiling or desk", "MOUNT"},
      {"tilt-then", 0, 0, G_OPTION_ARG_STRING, &tilt_then, "answer after the first", "VALUE"},
      {"no-image-control", 0, 0, G_OPTION_ARG_NONE, &no_image_control, "leave it absent", nullptr},
      {"ptz", 0, 0, G_OPTION_ARG_STRING, &ptz, "accept, error or absent", "MODE"},
      {"delay-ms", 0, 0, G_OPTION_ARG_INT, &delay_ms, "delay of each answer", "N"},
      {"record", 0, 0, G_OPTION_ARG_FILENAME, &record, "call log to append to", "FILE"},
      {}};
  g_autoptr(GOptionContext) context = g_option_context_new("- simulated camera services");
  g_option_context_add_main_entries(context, entries, nullptr);
  g_autoptr(GError) error = nullptr;
  if (!g_option_context_parse(context, &argc, &argv, &error)) {
    g_printerr("quadview-sim: %s\n", error->message);
    return 2;
  }

  simulator sim;
  if (mount) {
    if (g_strcmp0(mount, "ceiling") != 0 && g_strcmp0(mount, "desk") != 0) {
      g_printerr("quadview-sim: --mount takes ceiling or desk\n");
      return 2;
    }
    sim.tilt = g_strcmp0(mount, "ceiling") == 0 ? "s:-90" : "s:90";
  }
  sim.tilt = tilt ? tilt : sim.tilt;
  sim.tilt_then = tilt_then ? tilt_then : "";
  if (!is_valid_tilt(sim.tilt) || (tilt_then && !is_valid_tilt(sim.tilt_then))) {
    g_printerr("quadview-sim: bad --tilt or --tilt-then value\n");
    return 2;
  }
  sim.image_control = !no_image_control;
  if (ptz && g_strcmp0(ptz, "error") == 0) {
    sim.ptz = ptz_mode::kError;
  } else if (ptz && g_strcmp0(ptz, "absent") == 0) {
    sim.ptz = ptz_mode::kAbsent;
  } else if (ptz && g_strcmp0(ptz, "accept") != 0) {
    g_printerr("quadview-sim: --ptz takes accept, error or absent\n");
    return 2;
  }
  sim.delay_ms = static_cast<guint>(MAX(delay_ms, 0));

  // Only the bus named explicitly: never the machine's own system bus.
  const char* address = g_getenv("DBUS_SYSTEM_BUS_ADDRESS");
  if (!address) {
    g_printerr("quadview-sim: DBUS_SYSTEM_BUS_ADDRESS is not set\n");
    return 2;
  }
  g_autoptr(GDBusConnection) connection = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(
          G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr /* observer */,
      nullptr /* cancellable */,
      &error);
  if (!connection) {
    g_printerr("quadview-sim: cannot connect to %s: %s\n", address, error->message);
    return 1;
  }
  sim.connection = connection;

  std::unique_ptr<FILE, decltype(&fclose)> record_file(
      record ? fopen(record, "a") : nullptr, &fclose);
  if (record && !record_file) {
    g_printerr("quadview-sim: cannot open %s\n", record);
    return 1;
  }
  sim.record = record_file.get();

  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(kIntrospection, nullptr);
  if ((sim.image_control &&
       !serve(&sim, node, 1, QUADVIEW_IMAGE_CONTROL_PATH, QUADVIEW_IMAGE_CONTROL_NAME)) ||
      (sim.ptz != ptz_mode::kAbsent &&
       !serve(&sim, node, 2, QUADVIEW_PTZ_PATH, QUADVIEW_PTZ_NAME))) {
    return 1;
  }

  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  g_unix_signal_add(SIGTERM, quit_loop, loop);
  g_unix_signal_add(SIGINT, quit_loop, loop);
  g_signal_connect_swapped(connection, "closed", G_CALLBACK(g_main_loop_quit), loop);
  printf("ready\n");
  fflush(stdout);
  g_main_loop_run(loop);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
