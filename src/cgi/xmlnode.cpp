// SPDX-License-Identifier: MIT
#include "cgi/xmlnode.h"

#include <string.h>

struct xmlnode {
  char* name;
  char* text;
  GPtrArray* attributes;  // owned strings: name, value, name, value, ...; nullptr while none
  xmlnode* parent;
  xmlnode* first_child;  // owned, with their next siblings
  xmlnode* last_child;
  xmlnode* next_sibling;
};

namespace {

// Releases an element and its subtree without touching its parent.
void free_subtree(xmlnode* node) {
  for (xmlnode* child = node->first_child; child;) {
    xmlnode* next = child->next_sibling;
    free_subtree(child);
    child = next;
  }
  g_free(node->name);
  g_free(node->text);
  if (node->attributes) {
    g_ptr_array_unref(node->attributes);
  }
  g_free(node);
}

// Takes `node` out of its parent's children.
void unlink_from_parent(xmlnode* node) {
  xmlnode* parent = node->parent;
  xmlnode* previous = nullptr;
  for (xmlnode* child = parent->first_child; child != node; child = child->next_sibling) {
    previous = child;
  }
  (previous ? previous->next_sibling : parent->first_child) = node->next_sibling;
  if (parent->last_child == node) {
    parent->last_child = previous;
  }
  node->parent = nullptr;
  node->next_sibling = nullptr;
}

// Appends `text` with the characters that markup reserves written as references.
void append_escaped(GString* out, const char* text) {
  for (;;) {
    const size_t plain = strcspn(text, "&<>\"'");
    g_string_append_len(out, text, static_cast<gssize>(plain));
    text += plain;
    switch (*text++) {
      case '\0':
        return;
      case '&':
        g_string_append(out, "&amp;");
        break;
      case '<':
        g_string_append(out, "&lt;");
        break;
      case '>':
        g_string_append(out, "&gt;");
        break;
      case '"':
        g_string_append(out, "&quot;");
        break;
      default:
        g_string_append(out, "&apos;");
        break;
    }
  }
}

void render(const xmlnode* node, GString* out) {
  const char* name = node->name ? node->name : "";
  g_string_append_c(out, '<');
  g_string_append(out, name);
  for (guint i = 0; node->attributes && i + 1 < node->attributes->len; i += 2) {
    g_string_append_c(out, ' ');
    g_string_append(out, static_cast<const char*>(g_ptr_array_index(node->attributes, i)));
    g_string_append(out, "=\"");
    append_escaped(out, static_cast<const char*>(g_ptr_array_index(node->attributes, i + 1)));
    g_string_append_c(out, '"');
  }
  if (!node->text && !node->first_child) {
    g_string_append(out, "/>");
    return;
  }
  g_string_append_c(out, '>');
  if (node->text) {
    append_escaped(out, node->text);
  }
  for (const xmlnode* child = node->first_child; child; child = child->next_sibling) {
    render(child, out);
  }
  g_string_append(out, "</");
  g_string_append(out, name);
  g_string_append_c(out, '>');
}

}  // namespace

xmlnode* xmlnode_create_node() { return g_new0(xmlnode, 1); }

void xmlnode_set_name(xmlnode* node, const char* name) {
  g_free(node->name);
  node->name = g_strdup(name);
}

void xmlnode_set_text(xmlnode* node, const char* text) {
  g_free(node->text);
  node->text = g_strdup(text);
}

void xmlnode_add_attribute(xmlnode* node, const char* name, const char* value) {
  if (!node->attributes) {
    node->attributes = g_ptr_array_new_with_free_func(g_free);
  }
  g_ptr_array_add(node->attributes, g_strdup(name));
  g_ptr_array_add(node->attributes, g_strdup(value));
}

void xmlnode_add_child(xmlnode* parent, xmlnode* child) {
  child->parent = parent;
  (parent->last_child ? parent->last_child->next_sibling : parent->first_child) = child;
  parent->last_child = child;
}

char* xmlnode_get_xml(const xmlnode* node) {
  g_autoptr(GString) out = g_string_new(nullptr);
  xmlnode_append_xml(node, out);
  return g_string_free(static_cast<GString*>(g_steal_pointer(&out)), FALSE);
}

void xmlnode_append_xml(const xmlnode* node, GString* out) { render(node, out); }

void xmlnode_remove_node(xmlnode* node) {
  if (!node) {
    return;
  }
  if (node->parent) {
    unlink_from_parent(node);
  }
  free_subtree(node);
}
