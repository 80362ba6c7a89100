#include "cgi/xmlnode.h"

struct xmlnode {
  char* name;
  char* text;
  GPtrArray* attributes;  // owned strings: name, value, name, value, ...
  GPtrArray* children;    // owned elements
  xmlnode* parent;
};

namespace {

// Releases an element and its subtree without touching its parent.
void free_subtree(gpointer data) {
  auto* node = static_cast<xmlnode*>(data);
  g_free(node->name);
  g_free(node->text);
  g_ptr_array_unref(node->attributes);
  g_ptr_array_unref(node->children);
  g_free(node);
}

void append_escaped(GString* out, const char* text) {
  g_autofree char* escaped = g_markup_escape_text(text, -1);
  g_string_append(out, escaped);
}

void render(const xmlnode* node, GString* out) {
  const char* name = node->name ? node->name : "";
  g_string_append_c(out, '<');
  g_string_append(out, name);
  for (guint i = 0; i + 1 < node->attributes->len; i += 2) {
    g_string_append_c(out, ' ');
    g_string_append(out, static_cast<const char*>(g_ptr_array_index(node->attributes, i)));
    g_string_append(out, "=\"");
    append_escaped(out, static_cast<const char*>(g_ptr_array_index(node->attributes, i + 1)));
    g_string_append_c(out, '"');
  }
  if (!node->text && node->children->len == 0) {
    g_string_append(out, "/>");
    return;
  }
  g_string_append_c(out, '>');
  if (node->text) {
    append_escaped(out, node->text);
  }
  for (guint i = 0; i < node->children->len; i++) {
    render(static_cast<const xmlnode*>(g_ptr_array_index(node->children, i)), out);
  }
  g_string_append(out, "</");
  g_string_append(out, name);
  g_string_append_c(out, '>');
}

}  // namespace

xmlnode* xmlnode_create_node() {
  auto* node = g_new0(xmlnode, 1);
  node->attributes = g_ptr_array_new_with_free_func(g_free);
  node->children = g_ptr_array_new_with_free_func(free_subtree);
  return node;
}

void xmlnode_set_name(xmlnode* node, const char* name) {
  g_free(node->name);
  node->name = g_strdup(name);
}

void xmlnode_set_text(xmlnode* node, const char* text) {
  g_free(node->text);
  node->text = g_strdup(text);
}

void xmlnode_add_attribute(xmlnode* node, const char* name, const char* value) {
  g_ptr_array_add(node->attributes, g_strdup(name));
  g_ptr_array_add(node->attributes, g_strdup(value));
}

void xmlnode_add_child(xmlnode* parent, xmlnode* child) {
  child->parent = parent;
  g_ptr_array_add(parent->children, child);
}

char* xmlnode_get_xml(const xmlnode* node) {
  g_autoptr(GString) out = g_string_new(nullptr);
  render(node, out);
  return g_string_free(static_cast<GString*>(g_steal_pointer(&out)), FALSE);
}

void xmlnode_remove_node(xmlnode* node) {
  if (!node) {
    return;
  }
  if (node->parent) {
    // The parent's array releases what it drops.
    g_ptr_array_remove(node->parent->children, node);
  } else {
    free_subtree(node);
  }
}
