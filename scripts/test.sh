#!/usr/bin/env bash
# Builds all three targets and runs every test: native, native under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded tests under
# ThreadSanitizer, the x64 DLLs under wine64 and the x86 DLLs, the products,
# under 32-bit wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${PT_BUILD_ROOT:-$root/build}
jobs=$(nproc)

bash scripts/install-deps.sh

configure() {  # dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DPT_WERROR=ON "$@" >/dev/null
}

# Each step's time, shown at the end.
timings=() step_name="" step_start=$SECONDS
end_step() {
  [ -z "$step_name" ] || timings+=("$(printf '%5d s  %s' $((SECONDS - step_start)) "$step_name")")
}
step() { end_step; step_name=$*; step_start=$SECONDS; echo; echo "=== $*"; }

step "native (Linux x86-64)"
configure "$out/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$out/native" -j "$jobs"
ctest --test-dir "$out/native" -j "$jobs" --output-on-failure --timeout 300

step "native, AddressSanitizer + UndefinedBehaviorSanitizer"
configure "$out/asan" -DCMAKE_BUILD_TYPE=Debug -DPT_SANITIZE=address -DPT_BUILD_BENCH=OFF
cmake --build "$out/asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$out/asan" -j "$jobs" --output-on-failure --timeout 600

step "native, ThreadSanitizer (threaded tests)"
configure "$out/tsan" -DCMAKE_BUILD_TYPE=Debug -DPT_SANITIZE=thread -DPT_BUILD_BENCH=OFF
cmake --build "$out/tsan" -j "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$out/tsan" -j "$jobs" -L '^(host|transport|e2e|socketcand|api0404)$' --output-on-failure --timeout 600

# The Windows builds' tests run under wine, each in a prefix of its own in
# its build folder. A test whose process hangs on its way out under wine
# (rarely, after every assertion passed) is run once more; no test of these
# builds needs a minute.
wine_tests() {  # build folder, toolchain file, wine loader, WINEARCH
  local dir=$1 toolchain=$2 loader=$3
  export WINEARCH=$4 WINEPREFIX="$dir/wineprefix" WINEDEBUG=-all
  configure "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$loader"
  cmake --build "$dir" -j "$jobs"
  mkdir -p "$WINEPREFIX"
  "$loader" cmd /c exit >/dev/null 2>&1 || true   # first start sets the prefix up
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 90 --repeat until-pass:2
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
}

step "Windows x64 DLLs under wine64"
wine_tests "$out/w64" "$root/cmake/toolchain-mingw-x86_64.cmake" /usr/lib/wine/wine64 win64

# The products: the DLLs, the stand-in's vxlapi.dll and the test hosts built
# for x86, stdcall on both sides of every call, the export tables checked.
step "Windows x86 DLLs (the products) under 32-bit wine"
wine_tests "$out/w32" "$root/cmake/toolchain-mingw-i686.cmake" /usr/lib/wine/wine win32

end_step
echo
printf '%s\n' "${timings[@]}"
printf '%5d s  in all\n' "$SECONDS"
echo "all builds and tests passed"
