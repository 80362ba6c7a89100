# SPDX-License-Identifier: MIT
# Shared by the scripts: installing what is missing, filling in templates, starting and stopping
# the simulated camera and its bus, the web servers' table, and the packages each job needs.
# shellcheck shell=bash

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Prints "SCRIPT: MESSAGE" on stderr and exits with status 1: die MESSAGE...
die() { echo "${0##*/}: $*" >&2; exit 1; }

# Runs a command with its output appended to LOG; when it fails, shows the end of LOG on stderr and
# fails too. Usage: logged LOG COMMAND...
logged() { "${@:2}" >>"$1" 2>&1 || { tail -n 40 "$1" >&2; return 1; }; }

# Installs the named Debian packages that are not installed yet; does nothing when all are.
# A name without ":arch" means the machine's own architecture (or "all"); "name:armhf" means that
# architecture only. dpkg-query prints one line per installed architecture of a name.
need_packages() {
  local native pkg arch status missing=() sudo=()
  native=$(dpkg --print-architecture)
  for pkg in "$@"; do
    arch="($native|all)"
    [[ "$pkg" != *:* ]] || arch=${pkg##*:}
    status=$(dpkg-query -W -f='${Architecture} ${Status}\n' "$pkg" 2>/dev/null) || true
    grep -Eq "^$arch install ok installed\$" <<<"$status" || missing+=("$pkg")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  # apt-get finds "name:armhf" only once dpkg takes armhf packages.
  for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*://p' | sort -u); do
    [ "$arch" = "$native" ] || dpkg --print-foreign-architectures | grep -qx "$arch" ||
      "${sudo[@]}" dpkg --add-architecture "$arch"
  done
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# Prints the Debian mirror this machine's apt uses, for the suites fetched beside it.
debian_mirror() { apt-cache policy | awk '$3 == "bookworm/main" { print $2; exit }'; }

# Prints a text with its @NAME@ fields filled in: filled TEXT NAME=VALUE...
filled() {
  local text=$1 pair
  # The value quoted, so that bash 5.2 puts no match in place of its &.
  for pair in "${@:2}"; do text=${text//@${pair%%=*}@/"${pair#*=}"}; done
  printf '%s\n' "$text"
}

# Fills in the @NAME@ fields of a template: fill_in TEMPLATE OUTPUT NAME=VALUE...
fill_in() { filled "$(<"$1")" "${@:3}" >"$2"; }

# Waits up to 10 s for a command to succeed while the process PID runs; fails otherwise, with the
# end of LOG on stderr. Usage: wait_for PID LOG COMMAND...
wait_for() {
  local pid=$1 log=$2 tries=200
  until "${@:3}"; do
    if ! kill -0 "$pid" 2>/dev/null || [ $((tries -= 1)) -eq 0 ]; then
      echo "${0##*/}: '${*:3}' did not come true; the end of $log:" >&2
      tail -n 20 "$log" >&2
      return 1
    fi
    sleep 0.05
  done
}

# Starts a command in the background with its standard output in OUT and its standard error in
# LOG, adds its process to the array pids, and waits (as wait_for) until it has written to OUT.
# Usage: start_and_wait OUT LOG COMMAND...
start_and_wait() {
  "${@:3}" >"$1" 2>"$2" &
  pids+=($!)
  wait_for $! "$2" test -s "$1"
}

# Starts the simulated camera: its private system bus (sim/camera-bus FOLDER) and on that bus the
# simulated camera services (SIM ARG...), which print "ready". Starts both as start_and_wait does,
# output in FOLDER, and exports DBUS_SYSTEM_BUS_ADDRESS.
# Usage: start_simulated_camera FOLDER SIM [ARG...]
start_simulated_camera() {
  start_and_wait "$1/bus.address" "$1/bus.log" "$repo_root/sim/camera-bus" "$1"
  DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$1/bus.address")
  export DBUS_SYSTEM_BUS_ADDRESS
  start_and_wait "$1/sim.out" "$1/sim.log" "${@:2}"
}

# Stops the processes this script started and waits for them: stop_processes PID...
stop_processes() {
  [ $# -gt 0 ] || return 0
  kill -TERM "$@" 2>/dev/null || true
  wait "$@" 2>/dev/null || true
}

# Prints a port of 127.0.0.1 on which nothing listens.
free_port() {
  local port=$((20000 + RANDOM % 20000))
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    port=$((20000 + RANDOM % 20000))
  done
  echo "$port"
}

# The web servers' table, servers/servers.tsv: its first line that is no comment names the columns
# (its comment describes them); each line after it is a server.
server_table() { grep -v -e '^#' -e '^$' "$repo_root/servers/servers.tsv"; }

# Prints the column NAME of every server, in the table's order: server_column NAME
server_column() {
  server_table | awk -F'\t' -v c="$1" 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == c) n = i }
    NR > 1 && n { print $n }'
}

# Sets server_COLUMN (server_name, server_configuration, ...) to each column of the server named
# NAME, or else of the first whose name starts with it (a server of two set-ups is picked by the
# start of their names); fails when none does. Usage: read_server NAME
read_server() {
  local names=() values=() i
  IFS=$'\t' read -ra names < <(server_table | head -n 1)
  IFS=$'\t' read -ra values < <(server_table | awk -F'\t' -v n="$1" '
    NR == 1 { for (i = 1; i <= NF; i++) if ($i == "name") c = i; next }
    $c == n { named = $0 } index($c, n) == 1 && first == "" { first = $0 }
    END { print named != "" ? named : first }')
  [ ${#values[@]} -gt 0 ] || return 1
  for i in "${!names[@]}"; do printf -v "server_${names[i]}" '%s' "${values[i]}"; done
}

# The demo's two users: a viewer may read the layout, an administrator may change it too.
# tests/e2e/servers_test.cpp knows them as well. servers/users/ holds their password files, made
# once: digest ("user:realm:MD5(user:realm:password)", as htdigest writes them, realm quadview),
# passwords and admin-passwords ("user:crypt(password)", as `openssl passwd -1` writes them).
demo_viewer=viewer:look-only
demo_admin=admin:change-it

# The web servers the demo and the tests run quadview under.
read -ra web_server_packages <<<"$(server_column packages | tr '\n' ' ')"

# What building and testing natively needs; libseccomp-dev makes the program's seccomp filter at
# build time, for the cross builds too (cmake/sandbox.cmake).
build_packages=(build-essential dpkg-dev cmake pkg-config libglib2.0-dev libseccomp-dev libgtest-dev
  dbus-daemon util-linux clang-format curl valgrind libxml2-utils "${web_server_packages[@]}")

# What the servers test needs on top of build_packages to drive the demo's page in a real browser.
browser_packages=(chromium chromium-driver python3-selenium)

# What cross-building for the camera's 32-bit ARM processor and running the result under emulation
# needs on top of build_packages (cmake, pkg-config, and the native dbus-daemon the tests start).
armhf_packages=(g++-arm-linux-gnueabihf libglib2.0-dev:armhf libgtest-dev:armhf libstdc++6:armhf
  qemu-user)

# The same for 64-bit ARM.
arm64_packages=(g++-aarch64-linux-gnu libglib2.0-dev:arm64 libgtest-dev:arm64 libstdc++6:arm64
  qemu-user)

