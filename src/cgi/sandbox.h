// SPDX-License-Identifier: MIT
#pragma once

#include <glib.h>
#include <sys/types.h>

// Confines the process for the rest of its life, as far as the kernel allows, and silently: a
// kernel without a feature leaves that part out, and nothing here fails a request. In order:
// - no new privileges (Linux 3.5), which the rest needs and which keeps a set-id program from
//   lending it any;
// - Landlock (5.13; each right where the kernel's ABI has it): in the folder of the file that
//   `layout_path` leads to, what a save needs (read, write, list, create a regular file, remove,
//   rename in it, truncate); besides, reading /dev/urandom (GLib seeds its random numbers from it),
//   /etc/localtime (syslog's time stamps) and the bus address's nonce files, and writing
//   /dev/null (the output ended); nothing else, no program run. TCP connections (6.7) only to the
//   bus address's ports; no signal to another process and, unless the bus is one, no abstract
//   unix socket made elsewhere (6.12);
// - the seccomp filter made for the build's target (make_seccomp_filter()).
void confine_process(const char* layout_path);

// The seccomp filter made at build time for the target (cmake/seccomp_filter.c), as the program
// loads it: what no request needs (running a program, touching another process, mounting, kernel
// keys, BPF, modules, userfaultfd, perf events, io_uring) fails with EPERM; sockets only of the
// families AF_UNIX and, with `inet_sockets` (a bus on TCP), AF_INET and AF_INET6; kill(),
// tgkill() and the like only to `self`. Returns the program (struct sock_filter; g_array_unref), or
// nullptr when the build has no filter.
GArray* make_seccomp_filter(bool inet_sockets, pid_t self);
