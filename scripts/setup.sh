#!/bin/sh
# Installs every Debian package the builds and tests need, and makes the
# Debian 13 root with Wine 10 in which the Windows programs run (once; it is
# kept in a cache folder and reused). Safe to run again: it does nothing
# when everything is in place. One line per step; the package manager's own
# output goes to build/setup.log, whose end is shown if a step fails.
set -eu
cd "$(dirname "$0")/.."
mkdir -p build
log=build/setup.log

packages="cmake make g++ python3-pefile \
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-posix osslsigncode openssl \
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
  mmdebstrap bubblewrap xvfb xauth googletest imagemagick \
  qemu-system-x86 busybox-static cpio lz4"

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $package"
  fi
done

step() {
  description=$1
  shift
  printf 'setup: %s ... ' "$description"
  if "$@" >>"$log" 2>&1 </dev/null; then
    echo ok
  else
    echo "failed (log: $log)"
    tail -n 20 "$log"
    exit 1
  fi
}

if [ -n "$missing" ]; then
  : >"$log"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  step "Debian package lists" $sudo_cmd apt-get update
  # shellcheck disable=SC2086
  step "install$missing" env DEBIAN_FRONTEND=noninteractive \
    $sudo_cmd apt-get install -y --no-install-recommends $missing
fi
# Its own one-line report of each step, and the root's path when done.
step "Wine 10 root (made once, a few minutes; then reused)" bash scripts/wine10-root.sh
