// SPDX-License-Identifier: MIT
/* run-requests: runs CGI programs as a web server would, round after round, each program once
 * per round so that slow drifts of the machine reach all of them alike. For each one it prints
 * the number of runs, the median and 90th-percentile wall time from spawn to reaping, and the
 * median and largest peak resident set (ru_maxrss from wait4, what `/usr/bin/time -f %M` shows).
 *
 *   run-requests ROUNDS SECONDS  NAME PROGRAM SCRIPT_NAME QUERY_STRING  [NAME PROGRAM ...]...
 *
 * It stops after ROUNDS rounds or once SECONDS have passed, whichever comes first. Each program
 * gets the environment of a CGI request: DBUS_SYSTEM_BUS_ADDRESS (from our own environment),
 * GATEWAY_INTERFACE, REQUEST_METHOD, SCRIPT_NAME and QUERY_STRING, with standard input and output
 * on /dev/null. A run that does not exit with 0 ends the benchmark with status 1.
 *
 * Plain C over the C library only, so that what the kernel counts against the program before
 * exec (our own pages) stays small. */

#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

enum { kFieldsPerProgram = 4, kEnvSize = 6 };

struct program {
  const char* name;
  const char* path;
  char* env[kEnvSize];
  double* wall_us;
  long* rss_kib;
  int runs;
};

static double now_us(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static char* env_entry(const char* name, const char* value) {
  char* entry = NULL;
  if (asprintf(&entry, "%s=%s", name, value ? value : "") < 0) {
    exit(2);
  }
  return entry;
}

static int compare_double(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

static int compare_long(const void* a, const void* b) {
  const long x = *(const long*)a, y = *(const long*)b;
  return (x > y) - (x < y);
}

/* Runs the program once; returns 0, or -1 when it could not be run or did not exit with 0. */
static int run_once(struct program* p, const posix_spawn_file_actions_t* actions) {
  char* argv[] = {(char*)p->path, NULL};
  const double start = now_us();
  pid_t pid;
  if (posix_spawn(&pid, p->path, actions, NULL, argv, p->env) != 0) {
    fprintf(stderr, "run-requests: cannot run %s\n", p->path);
    return -1;
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) {
    return -1;
  }
  const double end = now_us();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "run-requests: %s ended with status %d\n", p->name, status);
    return -1;
  }
  p->wall_us[p->runs] = end - start;
  p->rss_kib[p->runs] = usage.ru_maxrss;
  p->runs++;
  return 0;
}

int main(int argc, char** argv) {
  if (argc < 3 + kFieldsPerProgram || (argc - 3) % kFieldsPerProgram != 0) {
    fprintf(
        stderr, "usage: run-requests ROUNDS SECONDS NAME PROGRAM SCRIPT_NAME QUERY_STRING...\n");
    return 2;
  }
  const int rounds = atoi(argv[1]);
  const double limit_us = atof(argv[2]) * 1e6;
  const int count = (argc - 3) / kFieldsPerProgram;
  if (rounds <= 0 || limit_us <= 0) {
    fprintf(stderr, "run-requests: ROUNDS and SECONDS must be positive\n");
    return 2;
  }

  struct program* programs = calloc((size_t)count, sizeof *programs);
  for (int i = 0; i < count; i++) {
    char** field = argv + 3 + i * kFieldsPerProgram;
    struct program* p = &programs[i];
    p->name = field[0];
    p->path = field[1];
    p->env[0] = env_entry("DBUS_SYSTEM_BUS_ADDRESS", getenv("DBUS_SYSTEM_BUS_ADDRESS"));
    p->env[1] = env_entry("GATEWAY_INTERFACE", "CGI/1.1");
    p->env[2] = env_entry("REQUEST_METHOD", "GET");
    p->env[3] = env_entry("SCRIPT_NAME", field[2]);
    p->env[4] = env_entry("QUERY_STRING", field[3]);
    p->env[5] = NULL;
    p->wall_us = calloc((size_t)rounds, sizeof *p->wall_us);
    p->rss_kib = calloc((size_t)rounds, sizeof *p->rss_kib);
    if (!p->wall_us || !p->rss_kib) {
      return 2;
    }
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

  const double start = now_us();
  for (int round = 0; round < rounds && now_us() - start < limit_us; round++) {
    for (int i = 0; i < count; i++) {
      if (run_once(&programs[i], &actions) != 0) {
        return 1;
      }
    }
  }

  for (int i = 0; i < count; i++) {
    struct program* p = &programs[i];
    qsort(p->wall_us, (size_t)p->runs, sizeof *p->wall_us, compare_double);
    qsort(p->rss_kib, (size_t)p->runs, sizeof *p->rss_kib, compare_long);
    printf(
        "%s runs=%d median_us=%.0f p90_us=%.0f median_rss_kib=%ld max_rss_kib=%ld\n",
        p->name,
        p->runs,
        p->wall_us[p->runs / 2],
        p->wall_us[p->runs * 9 / 10],
        p->rss_kib[p->runs / 2],
        p->rss_kib[p->runs - 1]);
  }
  return 0;
}
