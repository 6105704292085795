#!/bin/bash
# Runs 32-bit Windows programs under Wine 10 on a machine whose kernel runs
# no 32-bit code: inside a virtual machine that QEMU emulates in software,
# whose own kernel (Debian 12's) does. One boot for all of them:
#   vm32.sh OUTDIR PROGRAM...
# Each PROGRAM runs with no arguments, from its own folder, on a virtual
# display, in one Wine prefix made as wine-run.sh makes its own; its output
# goes to OUTDIR/NAME.log and its exit code to OUTDIR/NAME.rc. The machine's
# root is the Wine 10 root with an X server added; it and the kernel are
# made once and kept in the cache folder. Everything lives in memory: the
# machine takes 8 GB. Programs run 1.5 to 10 times slower than natively, so
# timings taken inside do not compare with this machine's.
set -eu
out=$(mkdir -p "$1" && cd "$1" && pwd)
shift
top=$(cd "$(dirname "$0")/.." && pwd)
cache="${QUORVEX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvex}"
vm="$cache/vm32"
mkdir -p "$vm"
log="$vm/make.log"
fail() {
  echo "vm32: $1 (log: $log)" >&2
  exit 1
}

command -v qemu-system-x86_64 >/dev/null || fail "QEMU is not installed (qemu-system-x86_64)"
if [ ! -f "$vm/vmlinuz" ]; then
  echo "vm32: fetching Debian 12's kernel (once)" >&2
  work=$(mktemp -d)
  package=$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-[0-9]/ { print $2; exit }')
  [ -n "$package" ] || fail "no kernel package in the package lists"
  (cd "$work" && apt-get -o APT::Sandbox::User=root download "$package") >>"$log" 2>&1 ||
    fail "download $package"
  dpkg -x "$work"/linux-image-*.deb "$work/unpacked" >>"$log" 2>&1 || fail "unpack $package"
  cp "$work"/unpacked/boot/vmlinuz-* "$vm/vmlinuz" || fail "no kernel in $package"
  rm -rf "$work"
fi

if [ ! -f "$vm/root.cpio.lz4" ]; then
  echo "vm32: making the virtual machine's root (once; a few minutes)" >&2
  root=$(bash "$top/scripts/wine10-root.sh") || fail "make the Wine 10 root"
  rm -rf "$vm/root"
  cp -a "$root" "$vm/root"
  bwrap --bind "$vm/root" / --proc /proc --dev /dev --ro-bind /etc/resolv.conf /etc/resolv.conf \
    --setenv DEBIAN_FRONTEND noninteractive \
    sh -c 'apt-get update && apt-get install -y --no-install-recommends xvfb' >>"$log" 2>&1 ||
    fail "install Xvfb in the root"
  rm -rf "$vm/root"/var/lib/apt/lists/* "$vm/root"/var/cache/apt/* "$vm/root"/usr/share/doc
  # The kernel unpacks this into memory at boot; lz4 as the kernel reads it.
  (cd "$vm/root" && find . -xdev | cpio -o -H newc --quiet) | lz4 -l -1 -q >"$vm/root.cpio.lz4.new"
  mv "$vm/root.cpio.lz4.new" "$vm/root.cpio.lz4"
  rm -rf "$vm/root"
fi

# What this boot adds, in a second archive: the programs' folders (under
# /quorvex/files, as /tmp is a fresh file system in there), busybox for
# mounting, the list of programs, and the first process.
overlay=$(mktemp -d)
trap 'rm -rf "$overlay" "$out/initrd"' EXIT
mkdir -p "$overlay/quorvex"
: >"$overlay/quorvex/programs"
for program in "$@"; do
  program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")
  folder=$(dirname "$program")
  inside="/quorvex/files$folder"
  [ -d "$overlay$inside" ] || { mkdir -p "$overlay$inside" && cp -a "$folder/." "$overlay$inside/"; }
  echo "$inside/$(basename "$program")" >>"$overlay/quorvex/programs"
  rm -f "$out/$(basename "$program" .exe)".{log,rc}
done
cp /bin/busybox "$overlay/quorvex/busybox"
cat >"$overlay/init" <<'INIT'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
b=/quorvex/busybox
$b mount -t proc proc /proc
$b mount -t sysfs sys /sys
$b mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
$b mount -t devpts devpts /dev/pts
$b mount -t tmpfs tmpfs /dev/shm
$b mount -t tmpfs tmpfs /tmp
Xvfb :9 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
export DISPLAY=:9 WINEPREFIX=/root/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  WINEDLLPATH=/opt/quorvex-wine XDG_RUNTIME_DIR=/tmp/runtime
mkdir -m 700 /tmp/runtime
while [ ! -e /tmp/.X11-unix/X9 ]; do sleep 1; done
wine=/usr/lib/wine/wine64
$wine wineboot -i >/dev/null 2>&1 || echo "wineboot failed with $?" >/dev/ttyS1
$wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
while read -r program; do
  cd "$(dirname "$program")"
  # Through a file: on the serial terminal itself, Wine would draw a console.
  timeout 600 $wine "$program" </dev/null >/tmp/output 2>&1
  status=$?
  echo "@@vm32 begin $program"
  cat /tmp/output
  echo "@@vm32 end $status"
done </quorvex/programs >/dev/ttyS1
echo o >/proc/sysrq-trigger
sleep 30
INIT
chmod +x "$overlay/init"
(cd "$overlay" && find . | cpio -o -H newc --quiet) >"$out/initrd"
cat "$vm/root.cpio.lz4" >>"$out/initrd"

# The first serial port takes the kernel's messages, the second the programs'
# output. Without SMAP and protection keys: with them, this QEMU's emulation
# makes the guest kernel fault on Wine's stack. A kernel panic ends the
# machine at once, and a hang ends with the time limit.
: >"$out/results.txt"
timeout 900 qemu-system-x86_64 -accel tcg,thread=multi -smp "$(nproc)" -m 8G \
  -cpu max,-smap,-pku -nic none -display none -no-reboot \
  -kernel "$vm/vmlinuz" -initrd "$out/initrd" -append "console=ttyS0 rdinit=/init quiet panic=-1" \
  -serial file:"$out/console.log" -serial file:"$out/results.txt" 2>>"$log" || {
  status=$?
  [ "$status" -eq 124 ] &&
    fail "the virtual machine did not end within 900 s (its console: $out/console.log)"
  fail "QEMU failed with exit code $status (its console: $out/console.log)"
}

awk -v out="$out" '
  /^@@vm32 begin / { name = $3; sub(/.*[\\\/]/, "", name); sub(/\.exe$/, "", name);
                     file = out "/" name ".log"; printf "" >file; next }
  /^@@vm32 end / { print $3 >(out "/" name ".rc"); close(file); file = ""; next }
  file != "" { print >file; next }
  { print "vm32: " $0 >"/dev/stderr" }
' <(tr -d '\r' <"$out/results.txt")

# A machine that ended early (a kernel panic, Wine that did not start) has
# not run every program.
for program in "$@"; do
  [ -f "$out/$(basename "$program" .exe).rc" ] ||
    fail "the virtual machine ended before $(basename "$program") had run (its console: $out/console.log)"
done
