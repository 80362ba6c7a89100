// SPDX-License-Identifier: MIT
#include "cgi/handlers.h"

#include <errno.h>
#include <gio/gio.h>
#include <string.h>
#include <syslog.h>

#include "base/log_value.h"
#include "cgi/response.h"
#include "layout/layout.h"

bool parse_id_list(const char* list, quadview_config* config) {
  g_auto(GStrv) pieces = g_strsplit(list, ",", -1);
  if (g_strv_length(pieces) != kSubviewCount) {
    return false;
  }
  quadview_config parsed = {};
  for (int i = 0; i < kSubviewCount; i++) {
    const char* piece = pieces[i];
    if (piece[0] < '1' || piece[0] > '4' || piece[1] != '\0') {
      return false;
    }
    parsed.id[i] = piece[0] - '0';
  }
  *config = parsed;
  return true;
}

int handle_get_quadview(service_session* session, xmlnode* success_body) {
  quadview_config config = {};
  const int status = get_quadview_layout(&config, kLayoutPath, session);
  if (status != 0) {
    syslog(LOG_ERR, "Failed to get config of quadview due to '%s'", strerror(-status));
    return status;
  }
  add_layout_success(success_body, &config);
  return 0;
}

int handle_set_quadview(GHashTable* params, service_session* session, xmlnode* success_body) {
  const auto* list = static_cast<const char*>(g_hash_table_lookup(params, "id"));
  if (!list) {
    syslog(LOG_INFO, "No id parameters");
    return -EBADF;
  }
  quadview_config requested = {};
  if (!parse_id_list(list, &requested)) {
    g_autofree char* logged = escape_log_value(list);
    syslog(LOG_INFO, "Invalid id parameters (%s)", logged);
    return -EBADF;
  }

  // The current layout must be readable before it is replaced; its values are not kept. The read,
  // the write and the reload each make an exchange of their own, all on the one system bus
  // connection that the first of them leaves in the session.
  quadview_config current = {};
  int status = get_quadview_layout(&current, kLayoutPath, session);
  if (status != 0) {
    syslog(LOG_ERR, "Failed to get config of quadview due to '%s'", strerror(-status));
    return status;
  }

  status = set_quadview_layout(&requested, kLayoutPath, session);
  if (status != 0) {
    syslog(LOG_ERR, "Failed to set config of quadview due to '%s'", strerror(-status));
    return status;
  }
  add_general_success(success_body);
  return 0;
}
