#!/bin/bash
# Makes, once, the Debian 13 root that holds Wine 10, and prints its path.
#   wine10-root.sh
# Debian 12's Wine 8 cannot run 32-bit windows that draw text; Wine 10 can,
# in its WoW64 mode, with no 32-bit Linux library. The root is kept in a
# cache folder outside the source tree and reused; it is made again only
# when missing or incomplete. Nothing is installed on the machine itself, and
# apt's own state is left alone.
set -eu

cache="${QUORVEX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvex}"
root="$cache/wine10-root"
if [ -f "$root/.quorvex-complete" ]; then
  echo "$root"
  exit 0
fi

mkdir -p "$cache"
echo "Making the Debian 13 root with Wine 10 in $root (once; a few minutes)" >&2
log="$cache/wine10-root.log"
: >"$log"
fail() {
  echo "wine10-root: step '$1' failed (log: $log)" >&2
  exit 1
}
step() {
  name=$1
  shift
  # A step that hangs (a stalled mirror) fails instead of waiting for ever.
  timeout 1200 "$@" >>"$log" 2>&1 </dev/null || fail "$name"
}

# This machine's own Debian mirror, from its apt sources.
mirror=""
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
fi
if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
  mirror=$(awk '$1 == "deb" && $2 !~ /^\[/ { print $2; exit }' /etc/apt/sources.list)
fi
[ -n "$mirror" ] || fail "read the Debian mirror from apt's sources"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

# A root that was made but not finished (the i386 part failed) is kept.
work="$cache/wine10-root.new"
rm -rf "$root"
if [ ! -f "$work/.quorvex-root-made" ]; then
  rm -rf "$work"
  step "make the Debian 13 root with Wine 10" \
    mmdebstrap --variant=apt --include=wine64,libwine,fonts-wine \
    --aptopt='Acquire::Retries "3"' trixie "$work" "deb [signed-by=$keyring] $mirror trixie main"
  touch "$work/.quorvex-root-made"
fi

# Wine's 32-bit Windows-side libraries: libwine:i386 of the same version,
# fetched through an apt configuration of its own and only unpacked.
version=$(dpkg-query --admindir="$work/var/lib/dpkg" -W -f='${Version}' libwine) ||
  fail "read the root's Wine version"
apt_dir="$cache/apt-i386"
rm -rf "$apt_dir"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial" "$apt_dir/download"
echo "deb [signed-by=$keyring arch=i386] $mirror trixie main" >"$apt_dir/sources.list"
: >"$apt_dir/status"
set -- -o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
  -o Dir::State::Lists="$apt_dir/lists" -o Dir::State::Status="$apt_dir/status" \
  -o Dir::Cache="$apt_dir" -o Dir::Cache::Archives="$apt_dir/archives" \
  -o APT::Architectures::=i386 -o APT::Architectures::=amd64 -o Acquire::Retries=3 \
  -o APT::Sandbox::User=root
step "read Debian 13's i386 package lists" apt-get "$@" update
step "download libwine:i386 $version" \
  sh -c 'cd "$0" && apt-get "$@"' "$apt_dir/download" "$@" download "libwine:i386=$version"
deb=$(ls "$apt_dir"/download/libwine_*_i386.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "download libwine:i386 $version"
step "unpack libwine:i386" dpkg -x "$deb" "$apt_dir/unpacked"

# WINEDLLPATH inside the root: the i386 PE libraries, and a link to the
# root's own Unix side (without it no display driver loads).
dlls="$work/opt/quorvex-wine"
mkdir -p "$dlls"
[ -d "$apt_dir/unpacked/usr/lib/i386-linux-gnu/wine/i386-windows" ] || fail "find i386-windows in libwine:i386"
mv "$apt_dir/unpacked/usr/lib/i386-linux-gnu/wine/i386-windows" "$dlls/i386-windows"
ln -s /usr/lib/x86_64-linux-gnu/wine/x86_64-unix "$dlls/x86_64-unix"
[ -x "$work/usr/lib/wine/wine64" ] || fail "find wine64 in the root"
rm -rf "$apt_dir"

echo "$version" >"$work/.quorvex-complete"
mv "$work" "$root"
echo "$root"
