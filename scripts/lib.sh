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

# Fills in the @NAME@ fields of a template: fill_in TEMPLATE OUTPUT NAME=VALUE...
fill_in() {
  local template=$1 output=$2 text pair
  text=$(<"$template")
  shift 2
  for pair in "$@"; do
    text=${text//@${pair%%=*}@/${pair#*=}}
  done
  printf '%s\n' "$text" >"$output"
}

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

# The web servers that scripts/web-server starts, with their configurations in servers/.
web_servers=(lighttpd apache-cgid apache-cgi nginx busybox mini_httpd)

# The demo's two users and their passwords, for every server's password files: a viewer may read
# the layout, an administrator may change it too. tests/e2e/servers_test.cpp knows them as well.
demo_viewer=viewer:look-only
demo_admin=admin:change-it

# The web servers the demo and the tests run quadview under, and what their password files are
# made with (openssl).
web_server_packages=(lighttpd apache2 nginx-light fcgiwrap busybox mini-httpd openssl)

# What building and testing natively needs.
build_packages=(build-essential dpkg-dev cmake pkg-config libglib2.0-dev libgtest-dev dbus-daemon
  util-linux clang-format curl valgrind libxml2-utils "${web_server_packages[@]}")

# What the demo's --once needs on top of build_packages to drive its page in a real browser
# (scripts/test runs it); the interactive demo needs none of these.
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
