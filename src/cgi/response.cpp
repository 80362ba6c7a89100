// SPDX-License-Identifier: MIT
#include "cgi/response.h"

#include <errno.h>

namespace {

constexpr char kHeaders[] = "Status: 200 OK\r\nContent-Type: text/xml\r\n\r\n";
constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
constexpr char kNamespace[] = "http://www.tarq.com/sefra/http_cgi/quadview";
constexpr char kSchemaLocation[] =
    "http://www.tarq.com/sefra/http_cgi/quadview http://www.tarq.com/sefra/http_cgi/quadview";
constexpr char kSchemaInstance[] = "http://www.w3.org/2001/XMLSchema-instance";

struct error_entry {
  const char* code;
  const char* description;
};

error_entry describe_error(int status) {
  switch (status) {
    case -EACCES:
      return {"500", "Internal Server error."};
    case -EBADF:
      return {"400", "Bad Request."};
    case -EINVAL:
      return {"20", "Invalid Parameters."};
    default:
      return {"-1", "Unknown Error"};
  }
}

xmlnode* create_element(const char* name) {
  xmlnode* node = xmlnode_create_node();
  xmlnode_set_name(node, name);
  return node;
}

// Appends a new element named `name` to `parent` and returns it; `parent` owns it.
xmlnode* add_element(xmlnode* parent, const char* name) {
  xmlnode* node = create_element(name);
  xmlnode_add_child(parent, node);
  return node;
}

xmlnode* create_error(int status) {
  const error_entry entry = describe_error(status);
  xmlnode* error = create_element("Error");
  xmlnode* general_error = add_element(error, "GeneralError");
  xmlnode_set_text(add_element(general_error, "ErrorCode"), entry.code);
  xmlnode_set_text(add_element(general_error, "ErrorDescription"), entry.description);
  return error;
}

}  // namespace

xmlnode* create_success_body() { return create_element("Success"); }

void add_layout_success(xmlnode* success_body, const quadview_config* config) {
  xmlnode* layout = add_element(success_body, "GetQuadViewSuccess");
  for (const gint32 id : config->id) {
    xmlnode* source = add_element(layout, "QuadViewSource");
    char text[sizeof "-2147483648"];
    g_snprintf(text, sizeof text, "%d", id);
    xmlnode_set_text(add_element(source, "Id"), text);
  }
}

void add_general_success(xmlnode* success_body) { add_element(success_body, "GeneralSuccess"); }

void build_head_response(GString* output) { g_string_assign(output, kHeaders); }

void build_response(int status, xmlnode* success_body, GString* output) {
  g_autoptr(xmlnode) root = create_element("QuadViewResponse");
  xmlnode_add_attribute(root, "SchemaVersion", "1.6.0");
  xmlnode_add_attribute(root, "xmlns", kNamespace);
  xmlnode_add_attribute(root, "xmlns:xsi", kSchemaInstance);
  xmlnode_add_attribute(root, "xsi:schemaLocation", kSchemaLocation);

  // Declared after the root, so they are removed before it: the error, then the success body
  // (attached or not), then the root.
  g_autoptr(xmlnode) body = success_body;
  g_autoptr(xmlnode) error = nullptr;
  if (status == 0) {
    xmlnode_add_child(root, body);
  } else {
    error = create_error(status);
    xmlnode_add_child(root, error);
  }

  g_string_assign(output, kHeaders);
  g_string_append(output, kDeclaration);
  xmlnode_append_xml(root, output);
}
