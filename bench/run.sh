#!/bin/sh
# Benchmarks under Wine, each figure a ratio measured side by side in one
# run, the median of several runs. Prints a Markdown table.
#   bench/run.sh [RUNS]    (default 7)
set -eu
cd "$(dirname "$0")/.."
runs=${1:-7}

if [ -z "${DISPLAY:-}" ]; then
  sh scripts/setup.sh
  exec xvfb-run -a -s "-screen 0 1024x768x24" sh bench/run.sh "$runs"
fi

cmake --preset win64 >/dev/null && cmake --build --preset win64 -j "$(nproc)" >/dev/null
cmake --preset win32 >/dev/null && cmake --build --preset win32 -j "$(nproc)" >/dev/null

export WINEPREFIX="$PWD/build/win64/bench-prefix"
wine() { sh scripts/wine-run.sh "$WINEPREFIX" "$@"; }
bin="build/win64/bin"
winbin=$(wine winepath -w "$PWD/$bin" | tr -d '\r')
program="$winbin\\QuorvexInstall.exe"
work=$(mktemp -d)
trap 'rm -rf "$work"; /usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
mkdir -p "$work/dest"
dest=$(wine winepath -w "$work/dest" | tr -d '\r')

value() { sed -n "s/^$1=//p" | tr -d '\r'; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

: >"$work/startup"; : >"$work/engine"; : >"$work/install"; : >"$work/regsvr32"
for run in $(seq "$runs"); do
  # Start to first paint, the program against a minimal window program.
  q=$(wine "$bin/quorvex_driver.exe" startup "$program" "Quorvex v1.4 Install" | value startup_ms)
  m=$(wine "$bin/quorvex_driver.exe" startup "$winbin\\minimal_window.exe" "Minimal Window" | value startup_ms)
  echo "$q $m" >>"$work/startup"

  # The install command through the engine against the platform calls made directly.
  wine "$bin/engine_bench.exe" "$winbin\\Quorvexv1.4.dll" 20 | value engine_to_direct >>"$work/engine"

  # The whole install command, clicked in the running program ...
  wine "$bin/quorvex_driver.exe" install "$program" "$dest" >"$work/out"
  value install_ms <"$work/out" >>"$work/install"
  value peak_working_set_kb <"$work/out" >"$work/peak"
  # ... against what a user would otherwise run: three processes.
  start=$(now_ms)
  wine regsvr32 /s /u "$dest\\Quorvexv1.4.dll" || true
  wine cmd /c copy /y "$winbin\\Quorvexv1.4.dll" "$dest\\Quorvexv1.4.dll" >/dev/null
  wine regsvr32 /s "$dest\\Quorvexv1.4.dll"
  echo $(($(now_ms) - start)) >>"$work/regsvr32"
  wine regsvr32 /s /u "$dest\\Quorvexv1.4.dll" || true
done

startup_q=$(cut -d' ' -f1 "$work/startup" | median)
startup_m=$(cut -d' ' -f2 "$work/startup" | median)
startup_ratio=$(awk '{ print $1 / $2 }' "$work/startup" | median)
engine_ratio=$(median <"$work/engine")
install_ms=$(median <"$work/install")
regsvr32_ms=$(median <"$work/regsvr32")
sizes=$(/usr/bin/python3 bench/pe_sizes.py build/win32/bin/QuorvexInstall.exe)

cat <<TABLE
| Figure ($runs runs, median) | Measured | Goal |
|---|---|---|
| Start to first paint: QuorvexInstall / minimal window | $(printf '%.2f' "$startup_ratio") ($startup_q ms / $startup_m ms) | at most 1.2 |
| Install command: engine / the same calls made directly | $engine_ratio | at most 1.1 |
| Install command / regsvr32 /u + copy + regsvr32 as processes | $(ratio "$install_ms" "$regsvr32_ms") ($install_ms ms / $regsvr32_ms ms) | well under 1 |
$sizes
| Peak working set after one install (win64) | $(cat "$work/peak") KB | |
TABLE
