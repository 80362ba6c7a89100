// SPDX-License-Identifier: MIT
#pragma once

#include <glib.h>

// Reads the whole of the regular file at `path` (symbolic links followed) if it holds at most
// `max_size` bytes. It is opened without blocking and read only once it is known to be a regular
// file, so a FIFO, a device or a folder there fails at once, as does a file that is too large.
// Returns the contents (g_free; not NUL-terminated) and sets `length`; nullptr with `error` set
// in G_FILE_ERROR on failure.
char* read_regular_file(const char* path, gsize max_size, gsize* length, GError** error);

// Replaces the file at `path` as a whole with `contents`. A symbolic link at `path` (or a chain
// of them) stays as it is: the file it leads to is replaced, by a temporary file made beside that
// file with the old file's permission bits and extended attributes (its ACL without fail), and
// its owner and group as far as this process may set them, then flushed and renamed over it; the
// folder is flushed after the rename. Returns true, or false with `error` set in G_FILE_ERROR.
// `in_place` tells whether the new file took the old one's place: only a failed flush of the
// folder comes after that; on any other failure the old file is untouched and no temporary file
// is left.
bool replace_file_contents(
    const char* path, const char* contents, gsize length, bool* in_place, GError** error);

// The folder of the file that `path` leads to, symbolic links followed: where
// replace_file_contents() writes. Returns it (g_free), or nullptr when `path` leads to no file.
char* find_real_folder(const char* path);
