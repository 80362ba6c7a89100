# SPDX-License-Identifier: MIT
# Shared by the scripts: installing what is missing, and the build folder layout.
# shellcheck shell=bash

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Installs the named Debian packages that are not installed yet; does nothing when all are.
need_packages() {
  local missing=() pkg
  # A name without ":arch" means the machine's own architecture (or "all"); "name:armhf" means that
  # architecture only. dpkg-query prints one line per installed architecture of a name.
  local native want status
  native=$(dpkg --print-architecture)
  for pkg in "$@"; do
    want="($native|all)"
    [[ "$pkg" == *:* ]] && want="${pkg##*:}"
    status=$(dpkg-query -W -f='${Architecture} ${Status}\n' "$pkg" 2>/dev/null || true)
    if ! grep -Eq "^$want install ok installed\$" <<<"$status"; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  # apt-get finds "name:armhf" only once dpkg takes armhf packages.
  local arch
  for pkg in "${missing[@]}"; do
    [[ "$pkg" == *:* ]] || continue
    arch=${pkg##*:}
    if [ "$arch" != "$native" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      "${sudo[@]}" dpkg --add-architecture "$arch"
    fi
  done
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
}

# Prints a text with its @NAME@ fields filled in: filled TEXT NAME=VALUE...
filled() {
  local text=$1 pair
  shift
  for pair in "$@"; do
    text=${text//@${pair%%=*}@/${pair#*=}}
  done
  printf '%s\n' "$text"
}

# Fills in the @NAME@ fields of a template: fill_in TEMPLATE OUTPUT NAME=VALUE...
fill_in() { filled "$(<"$1")" "${@:3}" >"$2"; }

# Writes the simulated camera's bus configuration (sim/system-bus.conf.in) to DIR/system-bus.conf,
# listening on SOCKET, with the program's bus policy (bus/quadview.conf) filled in for each USER
# the program runs as, one file each in DIR/policy: write_sim_bus_config DIR SOCKET USER...
write_sim_bus_config() {
  local dir=$1 socket=$2 user
  shift 2
  mkdir -p "$dir/policy"
  fill_in "$repo_root/sim/system-bus.conf.in" "$dir/system-bus.conf" \
    "SOCKET=$socket" "POLICY_DIR=$dir/policy"
  for user in "$@"; do
    fill_in "$repo_root/bus/quadview.conf" "$dir/policy/$user.conf" "QUADVIEW_CGI_USER=$user"
  done
}

# Waits up to 10 s for a command to succeed while the process PID runs; fails otherwise, with the
# end of LOG on stderr. Usage: wait_for PID LOG COMMAND...
wait_for() {
  local pid=$1 log=$2 tries=200
  shift 2
  until "$@"; do
    if ! kill -0 "$pid" 2>/dev/null || [ $((tries -= 1)) -eq 0 ]; then
      echo "${0##*/}: '$*' did not come true; the end of $log:" >&2
      tail -n 20 "$log" >&2
      return 1
    fi
    sleep 0.05
  done
}

# Starts the simulated camera: a private system bus (dbus-daemon with sim/system-bus.conf.in, its
# configuration and socket in FOLDER, never the machine's buses) and the simulated camera services on it (SIM ARG...). Waits
# until both are ready, exports DBUS_SYSTEM_BUS_ADDRESS and sets bus_pid and sim_pid; their output
# stays in FOLDER. Usage: start_simulated_camera FOLDER SIM [ARG...]
start_simulated_camera() {
  local folder=$1 sim=$2
  shift 2
  # The program runs as this user directly and as nobody under the web servers.
  write_sim_bus_config "$folder/bus-config" "$folder/bus" "$(id -un)" nobody
  dbus-daemon --config-file="$folder/bus-config/system-bus.conf" --nofork --nopidfile --print-address \
    >"$folder/bus.address" 2>"$folder/bus.log" &
  bus_pid=$!
  wait_for "$bus_pid" "$folder/bus.log" test -s "$folder/bus.address" || return 1
  DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$folder/bus.address")
  export DBUS_SYSTEM_BUS_ADDRESS
  "$sim" "$@" >"$folder/sim.out" 2>"$folder/sim.log" &
  sim_pid=$!
  wait_for "$sim_pid" "$folder/sim.log" grep -qx ready "$folder/sim.out"
}

# Stops the processes this script started and waits for them: stop_processes PID...
stop_processes() {
  local pid
  for pid in "$@"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
}

# Prints a port of 127.0.0.1 on which nothing listens.
free_port() {
  local port=$((20000 + RANDOM % 20000))
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    port=$((20000 + RANDOM % 20000))
  done
  echo "$port"
}

# The web servers, one row each in servers/servers.tsv, whose comment names the columns.
server_rows() { grep -v -e '^#' -e '^$' "$repo_root/servers/servers.tsv"; }

# Sets server_name, server_title, ... server_command from the row named NAME, or else the first
# whose name starts with it (a server of two set-ups is picked by the start of their names); fails
# when none does. Usage: read_server NAME
read_server() {
  local row
  row=$(server_rows | awk -F'\t' -v n="$1" '$1 == n { named = $0 }
    index($1, n) == 1 && first == "" { first = $0 } END { print named != "" ? named : first }')
  [ -n "$row" ] || return 1
  IFS=$'\t' read -r server_name server_title server_packages server_programs server_config \
    server_names server_auth server_viewers_read server_fetch_site server_time_limit \
    server_command <<<"$row"
}

# The demo's two users: a viewer may read the layout, an administrator may change it too.
# tests/e2e/servers_test.cpp knows them as well. servers/users/ holds their password files, made
# once: digest ("user:realm:MD5(user:realm:password)", as htdigest writes them, realm quadview),
# passwords and admin-passwords ("user:crypt(password)", as `openssl passwd -1` writes them).
demo_viewer=viewer:look-only
demo_admin=admin:change-it

# The web servers the demo and the tests run quadview under.
read -ra web_server_packages <<<"$(server_rows | cut -f3 | tr '\n' ' ')"

# What building and testing natively needs.
build_packages=(build-essential dpkg-dev cmake pkg-config libglib2.0-dev libgtest-dev dbus-daemon
  util-linux clang-format curl valgrind libxml2-utils "${web_server_packages[@]}")

# What the servers test needs on top of build_packages to drive the demo's page in a real browser.
browser_packages=(chromium chromium-driver python3-selenium)

# What cross-building for the camera's 32-bit ARM processor and running the result under emulation
# needs on top of build_packages (cmake, pkg-config, and the native dbus-daemon the tests start).
armhf_packages=(g++-arm-linux-gnueabihf libglib2.0-dev:armhf libgtest-dev:armhf libstdc++6:armhf
  qemu-user)

# The same for 64-bit ARM.
arm64_packages=(g++-aarch64-linux-gnu libglib2.0-dev:arm64 libgtest-dev:arm64 libstdc++6:arm64
  qemu-user)

# What building the Debian packages (natively and for both ARM targets) and checking them needs on
# top of build_packages and the ARM ones (apache2-dev provides dh-apache2).
package_packages=(debhelper apache2-dev crossbuild-essential-armhf crossbuild-essential-arm64
  lintian piuparts debootstrap)
