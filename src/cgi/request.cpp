// SPDX-License-Identifier: MIT
#include "cgi/request.h"

#include <errno.h>
#include <string.h>
#include <syslog.h>

#include "base/log_value.h"
#include "cgi/handlers.h"
#include "cgi/response.h"

namespace {

constexpr char kCgiKey[] = "cgi";
constexpr char kGetQuadviewCgi[] = "getquadview.cgi";
constexpr char kSetQuadviewCgi[] = "setquadview.cgi";

// A CGI name matches when it begins with the name's 15 bytes ("getquadview.cgi.old" does).
bool matches_cgi(const char* value, const char* name) {
  return strncmp(value, name, strlen(name)) == 0;
}

void insert_query_parameters(const char* query, GHashTable* params) {
  g_auto(GStrv) pieces = g_strsplit(query, "&", -1);
  for (char** piece = pieces; *piece; piece++) {
    if (**piece == '\0' || **piece == '=') {
      continue;
    }
    g_auto(GStrv) pair = g_strsplit(*piece, "=", 2);
    // The CGI name comes from SCRIPT_NAME alone: the web server grants reading and writing to
    // different users by that name, so the query must not be able to pick the other handler.
    if (strcmp(pair[0], kCgiKey) == 0) {
      continue;
    }
    g_hash_table_insert(params, g_strdup(pair[0]), g_strdup(pair[1] ? pair[1] : ""));
  }
}

// A browser names the site that sent a request (Sec-Fetch-Site). A page of another site must not
// make the browser of a logged-in administrator store a layout; anything but a browser sends no
// such header, and is served as ever.
bool refuses_cross_site_write(const char* fetch_site) {
  if (g_strcmp0(fetch_site, "cross-site") != 0) {
    return false;
  }
  syslog(LOG_INFO, "Refused a write request sent from another site");
  return true;
}

}  // namespace

GHashTable* create_parameter_table() {
  return g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
}

int decode_request(const char* script_name, const char* query_string, GHashTable* params) {
  g_autofree char* script = script_name ? g_uri_unescape_string(script_name, nullptr) : nullptr;
  g_autofree char* query = query_string ? g_uri_unescape_string(query_string, nullptr) : nullptr;
  if (!script) {
    syslog(LOG_ERR, "Empty SCRIPT_NAME");
    syslog(LOG_INFO, "Failed to convert CGI request to g_hash_table");
    return -EINVAL;
  }

  // An empty SCRIPT_NAME has no components and so no CGI name.
  g_auto(GStrv) components = g_strsplit(script, "/", -1);
  const guint count = g_strv_length(components);
  if (count > 0) {
    g_hash_table_insert(params, g_strdup(kCgiKey), g_strdup(components[count - 1]));
  }

  // Decoded before it is split, so %26 and %3D separate like & and =.
  if (query) {
    insert_query_parameters(query, params);
  }
  return 0;
}

cgi_request find_cgi_request(GHashTable* params) {
  const auto* cgi = static_cast<const char*>(g_hash_table_lookup(params, kCgiKey));
  if (!cgi) {
    syslog(LOG_ERR, "No cgi was found");
    return cgi_request::kNone;
  }
  if (matches_cgi(cgi, kGetQuadviewCgi)) {
    return cgi_request::kGetQuadview;
  }
  if (matches_cgi(cgi, kSetQuadviewCgi)) {
    return cgi_request::kSetQuadview;
  }
  g_autofree char* logged = escape_log_value(cgi);
  syslog(LOG_ERR, "Unrecoginized CGI '%s'", logged);
  return cgi_request::kNone;
}

void serve_request(const cgi_variables& variables, gint64 end_time, GString* output) {
  // HEAD changes nothing and asks nothing: its answer has the headers of any other.
  if (g_strcmp0(variables.request_method, "HEAD") == 0) {
    build_head_response(output);
    return;
  }

  g_autoptr(xmlnode) success_body = create_success_body();
  g_autoptr(GHashTable) params = create_parameter_table();
  service_session session(end_time);

  int status = decode_request(variables.script_name, variables.query_string, params);
  if (status == 0) {
    switch (find_cgi_request(params)) {
      case cgi_request::kGetQuadview:
        status = handle_get_quadview(&session, success_body);
        break;
      case cgi_request::kSetQuadview:
        status = refuses_cross_site_write(variables.fetch_site)
                     ? -EBADF
                     : handle_set_quadview(params, &session, success_body);
        break;
      case cgi_request::kNone:
        status = -EBADF;
        break;
    }
  }

  build_response(status, static_cast<xmlnode*>(g_steal_pointer(&success_body)), output);
  g_string_append_c(output, '\n');
}
