#!/bin/sh
# Installs every Debian package the builds, tests and the program under Wine
# need. Safe to run again: it does nothing when all of them are present.
set -eu

packages="cmake make g++ python3-pefile \
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
  wine wine64 fonts-wine xvfb xauth googletest imagemagick"

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
