#!/usr/bin/env bash
# 32-bit Wine in an i386 Debian tree, for machines without the machine's own
# 32-bit Wine: where the kernel runs no 32-bit programs, qemu's user-mode
# emulator runs the tree; where it does, the tree runs as it is
# (VELK_I386_EMULATE=1 emulates all the same).
# Usage:
#   scripts/wine-i386.sh setup           makes the tree once; later calls return at once
#   scripts/wine-i386.sh run CMD ARGS... runs the host command CMD where the tree works:
#       in user, mount and process namespaces of its own, where i386 programs
#       are registered for qemu when needed (for this run only), with the host's /proc,
#       /sys, /dev (pseudo-terminals included), /tmp, the source folder and the
#       Wine prefix bound into the tree at their own paths. CMD enters the tree
#       with "chroot $VELK_I386_TREE ..." (scripts/wine-env.sh does that). When
#       CMD ends, Wine is stopped, and with the namespaces go every process
#       the run started and every mount it made.
# The cache folder VELK_I386_CACHE (default /var/cache/velk-wine-i386) keeps
# between runs: tree/ (the i386 Debian with Wine, about 1.3 GB) and prefix/
# (the Wine prefix). VELK_DEBIAN_MIRROR chooses the Debian mirror. Needs root.
set -euo pipefail
source_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="$(realpath -m "${VELK_I386_CACHE:-/var/cache/velk-wine-i386}")"
tree="$(realpath -m "$cache/tree")"
prefix="$cache/prefix"
mirror="${VELK_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
# The i386 ELF header and the bits that may vary in it, as Debian's qemu entry has them.
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# The modem-line shim for pseudo-terminals, built for the tree's Wine.
shim=/opt/velk/ptyshim32.so

fail() { echo "wine-i386.sh: $*" >&2; exit 1; }

# The packages that make the tree, and a qemu (also for a tree made before).
host_packages() {
  # gcc-multilib builds the 32-bit pty shim, as for the machine's own 32-bit
  # Wine; Debian's i686 cross compiler would conflict with it.
  local wanted=(debootstrap gcc-multilib) missing=() package
  for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    apt_install "${missing[@]}" || fail "cannot install ${missing[*]}"
  fi
  [ -n "$(recent_qemu)" ] || install_recent_qemu || [ -x "$old_qemu" ] || apt_install qemu-user-static ||
    fail "cannot install qemu-user-static"
}

apt_install() {
  DEBIAN_FRONTEND=noninteractive timeout 900 apt-get install -y -qq --no-install-recommends "$@" >/dev/null 2>&1
}

# qemu before version 10 (Debian 12 has 7.2) does not honour MAP_FIXED_NOREPLACE,
# with which Wine's loader reserves its address space: every Wine process start
# then costs one to two minutes of CPU, and a first boot over ten minutes. qemu
# 10 starts one in about a second. Prints the static qemu for i386 of version
# 10 or later, if there is one (Debian's own is static from 9.1 on).
old_qemu=/usr/bin/qemu-i386-static
recent_qemu() {
  local candidate
  for candidate in /usr/bin/qemu-i386 "$old_qemu"; do
    [ -x "$candidate" ] && "$candidate" --version 2>/dev/null |
      awk 'NR == 1 { split($3, v, "."); found = v[1] >= 10 } END { exit !found }' &&
      { echo "$candidate"; return 0; }
  done
  return 0
}

# On a Debian release whose own qemu is older, qemu 10 comes from the release's
# backports (Debian's own packages, signed as the release's): the suite's
# entry is added to apt's sources, and only qemu-user is taken from it.
install_recent_qemu() {
  local codename
  codename="$(. /etc/os-release && [ "${ID:-}" = debian ] && echo "${VERSION_CODENAME:-}")" || return 1
  [ -n "$codename" ] || return 1
  local suite="$codename-backports" sources=/etc/apt/sources.list.d/velk-backports.sources
  if [ ! -f "$sources" ]; then
    printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$mirror" "$suite" >"$sources"
    timeout 600 apt-get update -qq >/dev/null 2>&1 || { rm -f "$sources"; return 1; }
  fi
  apt_install -t "$suite" qemu-user && [ -n "$(recent_qemu)" ]
}

# Runs "$@" in new user, mount and process namespaces where root stays root
# (ids 0-65535 map to themselves): a user namespace has a binfmt_misc of its
# own, so the registration for qemu reaches no other program on the machine.
in_namespaces() {
  # --kill-child: the namespace's first process, and with it every other one,
  # ends when unshare does.
  unshare --user --mount --pid --fork --kill-child --propagation private -- bash -c '
    # The parent writes the id maps once this process is in the namespace.
    for _ in $(seq 200); do grep -q . /proc/self/uid_map && break; sleep 0.05; done
    mount -t proc proc /proc && exec "$@"' bash "$@" &
  local pid=$! status=0
  # Interrupted or timed out: the namespaces end with this script. Their first
  # process is unshare's child; every other one ends with it.
  trap 'kill -KILL $(cat "/proc/$pid/task/$pid/children" 2>/dev/null) 2>/dev/null; kill "$pid" 2>/dev/null' EXIT
  trap 'exit 143' TERM INT HUP
  for _ in $(seq 200); do
    [ "$(readlink "/proc/$pid/ns/user" 2>/dev/null)" != "$(readlink /proc/self/ns/user)" ] && break
    sleep 0.05
  done
  if ! { echo "0 0 65536" >"/proc/$pid/uid_map" && echo "0 0 65536" >"/proc/$pid/gid_map"; } 2>/dev/null; then
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    fail "cannot map users into a user namespace (unshare --user)"
  fi
  wait "$pid" || status=$?
  trap - EXIT TERM INT HUP
  return "$status"
}

# The inside of the namespaces, for the tree ROOT: registers qemu, binds the
# host's folders, runs the command, then stops Wine.
inside() {
  local root="$1"
  shift
  if [ "${VELK_I386_EMULATE:-0}" = 1 ] || ! chroot "$root" /bin/true 2>/dev/null; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
      fail "this kernel has no binfmt_misc for user namespaces (Linux 6.7 or later has)"
    local qemu
    qemu="$(recent_qemu)"
    # F: qemu is opened now, so that it also runs inside the tree.
    echo ":velk-i386:M::$i386_magic:$i386_mask:${qemu:-$old_qemu}:F" \
      >/proc/sys/fs/binfmt_misc/register || fail "cannot register qemu for i386 programs"
    export VELK_I386_EMULATED=1
    # scripts/wine-env.sh sizes its limits by it.
    [ -n "$qemu" ] || export VELK_I386_SLOW_QEMU=1
  else
    export VELK_I386_EMULATED=0
  fi
  local folder
  for folder in /proc /sys /dev /tmp "$source_dir" "$prefix"; do
    mkdir -p "$folder" "$root$folder"
    mount --rbind "$folder" "$root$folder"
  done
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  export VELK_I386_TREE="$root" VELK_I386_PREFIX="$prefix"
  # The prefix's server is booted once per run (scripts/wine-env.sh).
  rm -f "$prefix/.velk-booted"
  local status=0
  "$@" || status=$?
  if [ -x "$root/usr/bin/wineserver" ]; then
    WINEPREFIX="$prefix" timeout 60 chroot "$root" /usr/bin/wineserver -k 2>/dev/null || true
  fi
  return "$status"
}

setup() {
  [ "$(id -u)" -eq 0 ] || fail "making the i386 tree needs root (debootstrap, namespaces)"
  host_packages
  [ -f "$tree/.velk-ready" ] && [ "$tree$shim" -nt "$source_dir/tests/wine/ptyshim.c" ] && return 0
  if [ ! -f "$tree/.velk-ready" ]; then
    # A tree without the marker is an interrupted set-up: made again from nothing.
    local partial="$cache/tree.partial" log="$cache/setup.log"
    mkdir -p "$cache"
    rm -rf "$partial" "$tree"
    echo "wine-i386.sh: making the i386 tree in $tree (log: $log)"
    # The first stage only unpacks; it also makes device nodes, which a user
    # namespace may not.
    timeout 1200 debootstrap --arch=i386 --variant=minbase --foreign bookworm "$partial" "$mirror" \
      >"$log" 2>&1 || fail "debootstrap failed, see $log"
    # The second stage and Wine's installation run i386 programs: through qemu.
    in_namespaces bash "$0" __inside "$partial" timeout 2400 chroot "$partial" /bin/bash -c '
      set -e
      # As in a container: the user namespace may make no device nodes.
      container=lxc /debootstrap/debootstrap --second-stage
      export DEBIAN_FRONTEND=noninteractive
      apt-get update -qq
      apt-get install -y -qq --no-install-recommends wine wine32
      apt-get clean' >>"$log" 2>&1 || fail "installing the tree or its Wine failed, see $log"
    touch "$partial/.velk-ready"
    mv "$partial" "$tree"
  fi
  mkdir -p "$tree$(dirname "$shim")"
  gcc -m32 -shared -fPIC -O2 -Wall -Wextra -Werror -o "$tree$shim" \
    "$source_dir/tests/wine/ptyshim.c" -ldl || fail "cannot build the 32-bit pty shim"
}

case "${1:-}" in
  setup) setup ;;
  run)
    shift
    [ $# -gt 0 ] || fail "run needs a command"
    [ -f "$tree/.velk-ready" ] || fail "no i386 tree in $tree (make it with: $0 setup)"
    mkdir -p "$prefix"
    in_namespaces bash "$0" __inside "$tree" "$@"
    ;;
  __inside) shift; inside "$@" ;;
  *) echo "usage: $0 setup | run CMD ARGS..." >&2; exit 2 ;;
esac
