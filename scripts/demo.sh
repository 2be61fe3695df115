#!/usr/bin/env bash
# Builds the library with the simulated driver and runs pt_demo, a host that
# uses the library as the diagnostic server does, against the simulated
# vehicle; prints where the trace files are.
#
#   scripts/demo.sh           native build in build/demo
#   scripts/demo.sh --wine    the 64-bit Windows DLL under wine64, in build/demo-w64
#   scripts/demo.sh --wine32  the 32-bit Windows DLL, the product, under 32-bit wine, in build/demo-w32
#   scripts/demo.sh --0404    the same session through the J2534 04.04 library
#   scripts/demo.sh --0404 --fd   that session on ISO 15765 over CAN FD, with the bus time saved
#
# A work directory may follow: scripts/demo.sh [--wine | --wine32] [--0404 [--fd]] [work directory]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${PT_BUILD_ROOT:-$root/build}

wine=""
j0404=()
fd=()
while true; do
  case "${1:-}" in
    --wine) wine=64 ;;
    --wine32) wine=32 ;;
    --0404) j0404=(--0404 "${fd[@]}") ;;
    --fd) fd=(--fd); j0404=(--0404 --fd) ;;
    *) break ;;
  esac
  shift
done
work=${1:-}

bash scripts/install-deps.sh

if [ -z "$wine" ]; then
  dir=$out/demo
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPT_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" --target pt_demo pt_vector pt_vector0404 morix_stub
  echo
  "$dir/bin/pt_demo" "${j0404[@]}" ${work:+"$work"}
else
  if [ "$wine" = 64 ]; then
    toolchain=toolchain-mingw-x86_64.cmake loader=/usr/lib/wine/wine64 arch=win64
  else
    toolchain=toolchain-mingw-i686.cmake loader=/usr/lib/wine/wine arch=win32
  fi
  dir=$out/demo-w$wine
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPT_BUILD_BENCH=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" -DCMAKE_CROSSCOMPILING_EMULATOR=$loader >/dev/null
  cmake --build "$dir" --target pt_demo pt_vector pt_vector0404 morix_stub
  export WINEARCH=$arch WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all
  mkdir -p "$WINEPREFIX"
  $loader cmd /c exit >/dev/null 2>&1 || true   # first start sets the prefix up
  # A work directory the Linux side can see as well.
  work=$(realpath -m "${work:-$dir/demo-work}")
  mkdir -p "$work"
  echo
  status=0
  $loader "$dir/bin/pt_demo.exe" "${j0404[@]}" "$($loader winepath -w "$work" 2>/dev/null)" || status=$?
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  if [ ${#j0404[@]} -eq 0 ]; then
    echo "trace files on this side: $work/pt_vector.log, $work/pdu_trace.log"
  else
    echo "trace files on this side: $work/pt_vector0404.log, $work/pdu_trace0404.log"
  fi
  exit $status
fi
