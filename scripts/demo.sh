#!/usr/bin/env bash
# Builds the library with the simulated driver and runs pt_demo, a host that
# uses the library as the diagnostic server does, against the simulated
# vehicle; prints where the trace files are.
#
#   scripts/demo.sh           native build in build/demo
#   scripts/demo.sh --wine    the 64-bit Windows DLL under wine64, in build/demo-w64
#   scripts/demo.sh --0404    the same session through the J2534 04.04 library
#
# A work directory may follow: scripts/demo.sh [--wine] [--0404] [work directory]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${PT_BUILD_ROOT:-$root/build}

wine=0
j0404=()
while [ "${1:-}" = "--wine" ] || [ "${1:-}" = "--0404" ]; do
  if [ "$1" = "--wine" ]; then wine=1; else j0404=(--0404); fi
  shift
done
work=${1:-}

bash scripts/install-deps.sh

if [ $wine -eq 0 ]; then
  dir=$out/demo
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPT_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" --target pt_demo pt_vector pt_vector0404 morix_stub
  echo
  "$dir/bin/pt_demo" "${j0404[@]}" ${work:+"$work"}
else
  dir=$out/demo-w64
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPT_BUILD_BENCH=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR=/usr/lib/wine/wine64 >/dev/null
  cmake --build "$dir" --target pt_demo pt_vector pt_vector0404 morix_stub
  export WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all
  mkdir -p "$WINEPREFIX"
  /usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 || true   # first start sets the prefix up
  # A work directory the Linux side can see as well.
  work=$(realpath -m "${work:-$dir/demo-work}")
  mkdir -p "$work"
  echo
  status=0
  /usr/lib/wine/wine64 "$dir/bin/pt_demo.exe" "${j0404[@]}" "$(/usr/lib/wine/wine64 winepath -w "$work" 2>/dev/null)" || status=$?
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  echo "trace files on this side: $work/pt_vector.log, $work/pdu_trace.log"
  exit $status
fi
