#!/usr/bin/env bash
# Windows: the 64-bit cross build of the libraries, the 32-bit build of fenlodrv.dll, the
# programs and the tests without pseudo-terminals, the checks of the DLL's export and import
# tables, and the tests under Wine, among them the programs against the Linux simulator
# through a Wine COM port. Installs MinGW-w64 and Wine (32-bit, about 730 MB) when missing;
# they are needed only here, never by ./test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-deps.sh
kvx_install_deps

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
missing=()
for pkg in g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine32:i386; do
    installed "$pkg" || missing+=("$pkg")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}" >&2
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
fi

jobs="${KVX_JOBS:-$(nproc)}"
echo "== Windows x86_64: the platform, bus and configuration libraries"
cmake --preset windows-cross >/dev/null
cmake --build --preset windows-cross -j "$jobs"

# The simulator is a Linux program: the Wine tests drive the Windows programs against it.
echo "== Linux simulator for the Wine COM port test"
[ -f build/dev/build.ninja ] || cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs" --target kxbus-sim

echo "== Windows i686: fenlodrv.dll, programs, tests"
cmake --preset windows-i686 -DKVX_LINUX_SIM="$PWD/build/dev/sim/kxbus-sim" >/dev/null
cmake --build --preset windows-i686 -j "$jobs"

# One Wine prefix per build tree, booted once per run; the tests share it. A persistent
# wineserver keeps the boot's services for every test, and is ended afterwards so that none
# of Wine's background processes holds CTest's pipes open.
export WINEPREFIX="$PWD/build/windows-i686/wineprefix"
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
echo "== Wine prefix $WINEPREFIX"
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT
wine wineboot </dev/null >build/windows-i686/wineboot.log 2>&1

echo "== Windows tests under Wine"
ctest --preset windows-i686 -j "$jobs"
