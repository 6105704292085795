#!/bin/sh
# Installs every Debian package the builds and tests need, and makes the
# Debian 13 root with Wine 10 in which the Windows programs run (once; it is
# kept in a cache folder and reused). Safe to run again: it does nothing
# when everything is in place.
set -eu
cd "$(dirname "$0")/.."

packages="cmake make g++ python3-pefile \
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-posix osslsigncode openssl \
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
  mmdebstrap bubblewrap xvfb xauth googletest imagemagick"

missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $package"
  fi
done

if [ -n "$missing" ]; then
  echo "Installing:$missing"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends $missing
fi

echo "Wine 10 root: $(bash scripts/wine10-root.sh)"
