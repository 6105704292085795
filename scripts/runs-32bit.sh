#!/bin/sh
# Exits with 0 when this machine can run 32-bit Windows programs, as Wine's
# WoW64 mode does: in a 64-bit process, through the kernel's 32-bit code
# segment. Some kernels (virtual machines among them) have that switched
# off; Wine then cannot start any 32-bit program.
top=$(cd "$(dirname "$0")/.." && pwd)
probe="$top/build/ia32-probe"
if [ ! -x "$probe" ]; then
  mkdir -p "$top/build"
  cc -O1 -no-pie -o "$probe" "$top/scripts/ia32-probe.c" || exit 0  # cannot tell: try
fi
"$probe"
[ $? -ne 1 ]
