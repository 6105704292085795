#!/bin/sh
# Benchmarks under Wine 10, for the shipped i686 build (32-bit WoW64
# processes) and the x86_64 build; each figure is a ratio measured side by
# side in one run, the median of several runs. Prints a Markdown table.
#   bench/run.sh [RUNS]    (default 7)
set -eu
cd "$(dirname "$0")/.."
runs=${1:-7}

if [ -z "${DISPLAY:-}" ]; then
  sh scripts/setup.sh >/dev/null
  exec xvfb-run -a -s "-screen 0 1024x768x24" sh bench/run.sh "$runs"
fi

value() { sed -n "s/^$1=//p" | tr -d '\r'; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "| Figure ($runs runs, median) | Build | Measured | Goal |"
echo "|---|---|---|---|"
for build in win32 win64; do
  # Built in any case: the size rows below read the i686 executable.
  cmake --preset "$build" >/dev/null && cmake --build --preset "$build" -j "$(nproc)" >/dev/null
  if [ "$build" = win32 ] && ! sh scripts/runs-32bit.sh; then
    echo "| (win32 not measured: this machine's kernel runs no 32-bit code) | win32 | | |"
    continue
  fi
  prefix="$PWD/build/$build/bench-prefix"
  wine() { bash scripts/wine-run.sh "$prefix" "$@"; }
  # The registration tool of the library's own bitness.
  if [ "$build" = win32 ]; then regsvr32='C:\windows\syswow64\regsvr32.exe'; else regsvr32=regsvr32; fi
  bin="build/$build/bin"
  winbin=$(wine winepath -w "$PWD/$bin" | tr -d '\r')
  program="$winbin\\QuorvexInstall.exe"
  rm -rf "$work/dest" && mkdir -p "$work/dest"
  dest=$(wine winepath -w "$work/dest" | tr -d '\r')

  : >"$work/startup"; : >"$work/engine"; : >"$work/install"; : >"$work/regsvr32"
  for _ in $(seq "$runs"); do
    # Start to first paint, the program against a minimal window program.
    q=$(wine "$bin/quorvex_driver.exe" startup "$program" "Quorvex v1.4 Install" | value startup_ms)
    m=$(wine "$bin/quorvex_driver.exe" startup "$winbin\\minimal_window.exe" "Minimal Window" | value startup_ms)
    # ... and the floor for a window that shows the same common controls.
    c=$(wine "$bin/quorvex_driver.exe" startup "$winbin\\minimal_controls_window.exe" "Minimal Window" |
      value startup_ms)
    echo "$q $m $c" >>"$work/startup"

    # The install command through the engine against the platform calls made directly.
    wine "$bin/engine_bench.exe" "$winbin\\Quorvexv1.4.dll" 20 | value engine_to_direct >>"$work/engine"

    # The whole install command, clicked in the running program ...
    wine "$bin/quorvex_driver.exe" install "$program" "$dest" >"$work/out"
    value install_ms <"$work/out" >>"$work/install"
    value peak_working_set_kb <"$work/out" >"$work/peak"
    # ... against what a user would otherwise run: three processes.
    start=$(now_ms)
    wine "$regsvr32" /s /u "$dest\\Quorvexv1.4.dll" >/dev/null 2>&1 || true
    wine cmd /c copy /y "$winbin\\Quorvexv1.4.dll" "$dest\\Quorvexv1.4.dll" >/dev/null
    wine "$regsvr32" /s "$dest\\Quorvexv1.4.dll" >/dev/null 2>&1
    echo $(($(now_ms) - start)) >>"$work/regsvr32"
    wine "$regsvr32" /s /u "$dest\\Quorvexv1.4.dll" >/dev/null 2>&1 || true
  done
  wine wineserver -k 2>/dev/null || true

  startup_q=$(cut -d' ' -f1 "$work/startup" | median)
  startup_m=$(cut -d' ' -f2 "$work/startup" | median)
  startup_ratio=$(awk '{ print $1 / $2 }' "$work/startup" | median)
  startup_c=$(cut -d' ' -f3 "$work/startup" | median)
  floor_ratio=$(awk '{ print $3 / $2 }' "$work/startup" | median)
  above_floor=$(awk '{ print $1 / $3 }' "$work/startup" | median)
  install_ms=$(median <"$work/install")
  regsvr32_ms=$(median <"$work/regsvr32")
  cat <<ROWS
| Start to first paint: QuorvexInstall / minimal window | $build | $(printf '%.2f' "$startup_ratio") ($startup_q ms / $startup_m ms) | at most 1.15 |
| Start to first paint: minimal window with the same text box and buttons / minimal window | $build | $(printf '%.2f' "$floor_ratio") ($startup_c ms / $startup_m ms) | |
| Start to first paint: QuorvexInstall / minimal window with the same text box and buttons | $build | $(printf '%.2f' "$above_floor") | at most 1.05 |
| Install command: engine / the same calls made directly | $build | $(median <"$work/engine") | at most 1.1 |
| Install command / regsvr32 /u + copy + regsvr32 as processes | $build | $(ratio "$install_ms" "$regsvr32_ms") ($install_ms ms / $regsvr32_ms ms) | well under 1 |
| Peak working set after one install | $build | $(cat "$work/peak") KB | |
ROWS
done
/usr/bin/python3 bench/pe_sizes.py build/win32/bin/QuorvexInstall.exe
