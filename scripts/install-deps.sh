#!/usr/bin/env bash
# Installs what the builds and tests need from Debian's packages (as root),
# or says what is missing. The x86 DLLs run under Debian's 32-bit wine
# (wine32:i386), which needs the i386 architecture beside the host's.
set -euo pipefail

packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 wine32:i386
          python3-can python3-matplotlib python3-scapy)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
# Another installation on the machine may hold apt's locks: the install waits
# for dpkg's lock by itself, the update of the package lists is tried again.
apt=(-o DPkg::Lock::Timeout=900)
for try in $(seq 20); do
  apt-get "${apt[@]}" update -qq && break
  [ "$try" -lt 20 ] || exit 1
  echo "apt-get update failed (another installation running?), again in 15 s" >&2
  sleep 15
done
apt-get "${apt[@]}" install -y -qq "${missing[@]}" >/dev/null
