// SPDX-License-Identifier: MIT
/* LD_PRELOAD helper: sets QUERY_STRING from a file before main runs, for query strings longer
 * than Linux lets exec pass in one environment string (128 KiB).
 *
 *   QUADVIEW_BENCH_QUERY_FILE     the file holding the query string, taken as it is
 *   QUADVIEW_BENCH_QUERY_PROGRAM  the short name of the one program to act in (e.g. quadview)
 *
 * The program name matters: on its way to the program the preload also runs in the shells and
 * launchers in between (valgrind's is a shell script), and one of those carrying the long value
 * would fail to exec the next. */

#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

__attribute__((constructor)) static void set_query_string_from_file(void) {
  const char* path = getenv("QUADVIEW_BENCH_QUERY_FILE");
  const char* program = getenv("QUADVIEW_BENCH_QUERY_PROGRAM");
  if (!path || !program || strcmp(program, program_invocation_short_name) != 0) {
    return;
  }

  FILE* file = fopen(path, "rb");
  if (!file) {
    fprintf(stderr, "query_from_file: cannot open %s: %s\n", path, strerror(errno));
    exit(1);
  }
  fseek(file, 0, SEEK_END);
  const long size = ftell(file);
  rewind(file);
  char* query = malloc((size_t)size + 1);
  if (!query || fread(query, 1, (size_t)size, file) != (size_t)size) {
    fprintf(stderr, "query_from_file: cannot read %s\n", path);
    exit(1);
  }
  fclose(file);
  query[size] = '\0';
  setenv("QUERY_STRING", query, 1);
  free(query);
}
