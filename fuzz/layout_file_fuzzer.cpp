// SPDX-License-Identifier: MIT
// The layout file reader on arbitrary file contents, for both mounts. A failed read must leave
// the config alone. A layout that reads back with ids the store accepts must also survive being
// written: the write succeeds, reads back the same, and keeps the other mount's layout.

#include <glib.h>
#include <glib/gstdio.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "layout/layout.h"

namespace {

constexpr gint32 kUntouched = -7;
constexpr mount kMounts[] = {mount::kCeiling, mount::kDesk};

// The fuzzer's own scratch folder and layout file, made once in TMPDIR. Writing a layout renames
// and syncs the file, so ./scripts/fuzz points TMPDIR at a folder in memory.
struct scratch {
  std::string dir;
  std::string path;
};

scratch& the_scratch() {
  static scratch s;
  return s;
}

void remove_scratch() {
  g_remove(the_scratch().path.c_str());
  g_rmdir(the_scratch().dir.c_str());
}

[[noreturn]] void fail(const char* what, mount m) {
  fprintf(stderr, "invariant broken: %s (group %s)\n", what, layout_group(m));
  abort();
}

void write_scratch(const uint8_t* data, size_t size) {
  FILE* file = fopen(the_scratch().path.c_str(), "wb");
  if (!file || fwrite(data, 1, size, file) != size || fclose(file) != 0) {
    perror("layout_file_fuzzer: scratch file");
    abort();
  }
}

bool same_config(const quadview_config& a, const quadview_config& b) {
  for (int i = 0; i < kSubviewCount; i++) {
    if (a.id[i] != b.id[i]) {
      return false;
    }
  }
  return true;
}

bool writable(const quadview_config& config) {
  gint32 pan = 0;
  for (gint32 id : config.id) {
    if (!source_id_to_pan(id, &pan)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /* argc */, char*** /* argv */) {
  std::string dir = std::string(g_get_tmp_dir()) + "/quadview-fuzz-XXXXXX";
  if (!g_mkdtemp(dir.data())) {
    perror("layout_file_fuzzer: scratch folder");
    abort();
  }
  the_scratch() = {dir, dir + "/quadview.conf"};
  atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* path = the_scratch().path.c_str();
  write_scratch(data, size);

  bool read_ok[2] = {};
  quadview_config read[2];
  for (int m = 0; m < 2; m++) {
    for (gint32& id : read[m].id) {
      id = kUntouched;
    }
    read_ok[m] = read_layout_file("fuzz", path, kMounts[m], &read[m]);
    if (!read_ok[m]) {
      for (gint32 id : read[m].id) {
        if (id != kUntouched) {
          fail("a failed read changed the config", kMounts[m]);
        }
      }
    }
  }

  for (int m = 0; m < 2; m++) {
    if (!read_ok[m] || !writable(read[m])) {
      continue;
    }
    write_scratch(data, size);
    if (!write_layout_file("fuzz", path, kMounts[m], &read[m])) {
      fail("a layout that was read could not be written back", kMounts[m]);
    }
    quadview_config again = {};
    if (!read_layout_file("fuzz", path, kMounts[m], &again) || !same_config(again, read[m])) {
      fail("a written layout does not read back the same", kMounts[m]);
    }
    const int other = 1 - m;
    quadview_config kept = {};
    const bool kept_ok = read_layout_file("fuzz", path, kMounts[other], &kept);
    if (kept_ok != read_ok[other] || (kept_ok && !same_config(kept, read[other]))) {
      fail("writing one mount's layout changed the other's", kMounts[m]);
    }
  }
  return 0;
}
