#!/usr/bin/env bash
# Windows: the 32-bit and the 64-bit builds of fenlodrv.dll, the programs and the tests
# without pseudo-terminals, the installers, the checks of the DLL's export, import and version
# tables, and the tests under Wine, among them the programs and the installer against the
# Linux simulator through a Wine COM port. Installs MinGW-w64, NSIS and Wine when missing;
# they are needed only here, never by ./test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-deps.sh
kvx_install_deps

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
missing=()
# The cross compilers, NSIS for the installers, a virtual X display for the window's test and
# ImageMagick for its screenshots.
for pkg in g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix nsis xvfb xauth imagemagick; do
    installed "$pkg" || missing+=("$pkg")
done
((${#missing[@]} == 0)) || kvx_apt_install --no-install-recommends "${missing[@]}"

# Wine for the 32-bit build needs the i386 lists as well, which a mirror out of sync can leave
# unusable for a while; the 64-bit Wine needs only the machine's own lists. Whichever can be
# installed runs the tests of its build; both run when both are there.
if ! { installed wine && installed wine32:i386; }; then
    dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
    kvx_apt_install --no-install-recommends wine wine32:i386 ||
        echo "32-bit Wine (wine32:i386) could not be installed (see above)" >&2
fi
if ! { installed wine && installed wine64; }; then
    kvx_apt_install --no-install-recommends wine wine64 ||
        echo "64-bit Wine (wine64) could not be installed (see above)" >&2
fi
wine_for_i686=0 wine_for_x86_64=0
installed wine && installed wine32:i386 && wine_for_i686=1
installed wine && installed wine64 && wine_for_x86_64=1

jobs="${KVX_JOBS:-$(nproc)}"
# The simulator is a Linux program: the Wine tests drive the Windows programs against it.
echo "== Linux simulator for the Wine COM port test"
[ -f build/dev/build.ninja ] || cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs" --target kxbus-sim

# One Wine prefix per build tree, booted once per run; the tests share it. A persistent
# wineserver keeps the boot's services for every test, and is ended afterwards so that none
# of Wine's background processes holds CTest's pipes open.
wine_tests() {
    local preset="$1" arch="$2"
    export WINEPREFIX="$PWD/build/$preset/wineprefix" WINEARCH="$arch"
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$WINEPREFIX"
    echo "== Wine prefix $WINEPREFIX ($arch)"
    # A server left running for this prefix by an earlier run is used as it is.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    trap 'wineserver -k 2>/dev/null || true' EXIT
    wine wineboot </dev/null >"build/$preset/wineboot.log" 2>&1
    echo "== $preset: tests under Wine"
    ctest --preset "$preset" -j "$jobs" -L wine
    wineserver -k 2>/dev/null || true
    trap - EXIT
}

ran=()
for build in "windows-i686 win32 $wine_for_i686" "windows-x86_64 win64 $wine_for_x86_64"; do
    read -r preset arch with_wine <<<"$build"
    echo "== $preset: fenlodrv.dll, programs, tests"
    cmake --preset "$preset" -DKVX_LINUX_SIM="$PWD/build/dev/sim/kxbus-sim" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "== $preset: the export, import and version tables"
    ctest --preset "$preset" -j "$jobs" -LE wine
    if ((with_wine)); then
        wine_tests "$preset" "$arch"
        ran+=("$preset")
    else
        # Told as not run, never as passed.
        echo "SKIPPED: the $preset tests under Wine: no Wine for it could be installed" >&2
    fi
done
echo "Tests under Wine ran for: ${ran[*]:-none}"
