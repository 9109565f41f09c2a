#!/usr/bin/env bash
# Builds the Debian package as a packager would (preset package: Debian's build flags, no tests
# or benchmarks, and GoogleTest and Google Benchmark made unfindable), checks it with lintian,
# unpacks it into a scratch root and runs the programs from their installed paths: the gateway
# serves a value of the simulator to an OPC UA client.
# Usage: package_test.sh PACKAGE_BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source_dir="$(readlink -f "$2")"
scratch="$(mktemp -d)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if [ -d "$build/gateway/production/node_modules.away" ]; then
        mv "$build/gateway/production/node_modules.away" "$build/gateway/production/node_modules"
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
ok() { echo "ok: $*"; }

# --- The packager's build --------------------------------------------------------------------
(cd "$source_dir" && cmake --preset package -B "$build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$scratch/configure.log" 2>&1) ||
    { cat "$scratch/configure.log" >&2; fail "the packager's configure (no tests, no benchmarks) failed"; }
cmake --build "$build" -j "$(nproc)" >"$scratch/build.log" 2>&1 ||
    { tail -50 "$scratch/build.log" >&2; fail "the packager's build failed"; }
ok "configured and built without GoogleTest and Google Benchmark"

# Without the gateway's npm packages no package is made.
mv "$build/gateway/production/node_modules" "$build/gateway/production/node_modules.away"
if (cd "$build" && cpack -G DEB -B "$scratch/missing" >"$scratch/missing.log" 2>&1); then
    fail "cpack made a package without the gateway's npm packages"
fi
grep -q "npm package koffi is missing" "$scratch/missing.log" ||
    { cat "$scratch/missing.log" >&2; fail "cpack did not say that the npm packages are missing"; }
mv "$build/gateway/production/node_modules.away" "$build/gateway/production/node_modules"
ok "cpack refuses to package a gateway without its npm packages"

(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
    { cat "$scratch/cpack.log" >&2; fail "cpack could not build the package"; }
deb="$(ls "$scratch"/out/*.deb)"
version="$(dpkg-deb -f "$deb" Version)"
echo "package: $(basename "$deb")"

# --- Control fields --------------------------------------------------------------------------
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
[[ "$depends" == *"nodejs (>= 18.20)"* ]] || fail "Depends does not ask for Debian 12's nodejs 18.20"
[[ "$depends" == *adduser* ]] || fail "Depends lacks adduser"
if [ -x "$build/scantool/gui/linkspy" ]; then
    [[ "$depends" == *libqt6widgets6* ]] || fail "Depends lacks the Qt 6 widgets library"
fi
[[ "$(dpkg-deb -f "$deb" Recommends)" == *bash-completion* ]] || fail "Recommends lacks bash-completion"
[ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 3 ] || fail "the description has no extended text"
engines="$(node -p 'require(process.argv[1]).engines.node' "$source_dir/gateway/package.json")"
[ "$engines" = ">=18.20" ] || fail "the gateway's engines ($engines) differ from the package's Depends"

mkdir "$scratch/control"
dpkg-deb -e "$deb" "$scratch/control"
for conffile in /etc/korvex/opc-server.conf /etc/default/fenlo-opcua; do
    grep -qx "$conffile" "$scratch/control/conffiles" || fail "$conffile is not a conffile"
done
for script in postinst prerm postrm; do
    [ -x "$scratch/control/$script" ] || fail "$script missing or not executable"
    sh -n "$scratch/control/$script" || fail "$script is not valid shell"
done
c="$scratch/control"
# Without systemd running here, the restart on upgrade and the stop on removal are seen in the
# scripts only.
grep -q 'action=restart' "$c/postinst" || fail "postinst does not restart the gateway on upgrade"
grep -q "deb-systemd-invoke stop" "$c/prerm" || fail "prerm does not stop the gateway on removal"
ok "control fields"

# The maintainer scripts at work: install, an upgrade over an older installation, an upgrade
# after the administrator disabled the service, remove, purge. As root, in a private mount
# namespace whose /etc, /var and /lib are overlays that vanish with it.
if [ "$(id -u)" -eq 0 ] && ! getent passwd fenlo >/dev/null; then
    mkdir -p "$scratch"/ov/{etc,var,lib}/{upper,work}
    cp "$source_dir/packaging/systemd/fenlo-opcua.service" "$scratch/unit"
    cat >"$scratch/lifecycle.sh" <<'LIFECYCLE'
set -eu
fail() { echo "FAIL: $*" >&2; exit 1; }
for d in etc var lib; do
    mount -t overlay overlay -o "lowerdir=/$d,upperdir=$SCRATCH/ov/$d/upper,workdir=$SCRATCH/ov/$d/work" "/$d"
done
export DPKG_MAINTSCRIPT_PACKAGE=kvx-fieldbus-link
run() { DPKG_MAINTSCRIPT_NAME="$1" sh -e "$SCRATCH/control/$@" >/dev/null 2>&1 || fail "$* failed"; }
wants=/etc/systemd/system/multi-user.target.wants/fenlo-opcua.service
cp "$SCRATCH/unit" /lib/systemd/system/fenlo-opcua.service
run postinst configure
id -Gn fenlo | tr ' ' '\n' | sort | tr '\n' ' ' | grep -qx 'dialout korvex ' || fail "fenlo is in $(id -Gn fenlo)"
[ "$(stat -c '%U:%G %a' /var/lib/korvex)" = "fenlo:korvex 2775" ] ||
    fail "/var/lib/korvex is $(stat -c '%U:%G %a' /var/lib/korvex)"
stat -c '%U %a' /var/lib/korvex/pki | grep -qx 'fenlo 2\?700' || fail "pki is $(stat -c '%U %a' /var/lib/korvex/pki)"
[ -L "$wants" ] || fail "install did not enable the service"
# An earlier installation left its files to dialout; the administrator then disabled the service.
touch /var/lib/korvex/fenlodrv.ini && chgrp dialout /var/lib/korvex/fenlodrv.ini
rm "$wants"
run postinst configure 0.1.0
[ "$(stat -c %G /var/lib/korvex/fenlodrv.ini)" = korvex ] || fail "an upgrade leaves files to dialout"
[ ! -e "$wants" ] || fail "an upgrade enabled the service the administrator disabled"
run prerm remove
rm /lib/systemd/system/fenlo-opcua.service
run postrm remove
[ "$(readlink /etc/systemd/system/fenlo-opcua.service)" = /dev/null ] || fail "remove does not mask the service"
run postrm purge
find /etc/systemd /var/lib/systemd -name '*fenlo-opcua*' | grep . && fail "purge leaves the service's links or state"
[ ! -e /var/lib/korvex ] || fail "purge leaves /var/lib/korvex"
getent passwd fenlo >/dev/null || fail "purge removed the system user"
echo "lifecycle passed"
LIFECYCLE
    SCRATCH="$scratch" unshare --mount --propagation private sh "$scratch/lifecycle.sh" ||
        fail "the maintainer scripts"
    getent passwd fenlo >/dev/null && fail "the maintainer scripts' test changed this machine's users"
    ok "maintainer scripts: install, upgrades, remove, purge"
else
    echo "maintainer scripts not run: needs root on a machine without the user fenlo"
fi

# Every file of the package belongs to root, and nothing is writable but by its owner.
dpkg-deb -c "$deb" | awk '$2 != "root/root" {print}' | grep . && fail "files not owned by root"
dpkg-deb -c "$deb" | awk '$1 ~ /^.....w|^........w/ && $1 !~ /^l/ {print}' | grep . && fail "group- or world-writable files"
ok "owners and modes of the package's files"

# --- lintian ---------------------------------------------------------------------------------
if command -v lintian >/dev/null; then
    # Run as root it would need --allow-root; the tags that docs/packaging.md argues are shown.
    lintian --allow-root --tag-display-limit 0 "$deb" >"$scratch/lintian.log" 2>&1 || true
    cat "$scratch/lintian.log"
    grep -q '^E: ' "$scratch/lintian.log" && fail "lintian reports errors"
    grep -q '^W: ' "$scratch/lintian.log" && fail "lintian reports warnings that docs/packaging.md does not argue"
    ok "lintian: no errors, no warnings"
else
    echo "lintian not installed: skipped"
fi

# --- The unpacked tree -----------------------------------------------------------------------
root="$scratch/root"
dpkg -x "$deb" "$root"
libdir="$(cd "$root/usr/lib" && ls -d */kvx-fieldbus-link | head -1)"
[ -f "$root/usr/lib/$libdir/libfenlodrv.so" ] || fail "the plug-in is not in the private library folder"
[ -f "$root/usr/lib/$libdir/libfenlo_oleauto.so" ] || fail "the OLE stand-in is not in the private library folder"
find "$root/usr/lib" -maxdepth 2 -name 'lib*.so*' -not -path "*/kvx-fieldbus-link/*" | grep . &&
    fail "shared libraries in the public library folder"
readelf -d "$root/usr/bin/fenlo-host" | grep -c "RUNPATH.*\$ORIGIN/../lib/$libdir" >/dev/null ||
    fail "fenlo-host has no RUNPATH to the private library folder"
for elf in "$root/usr/bin/fenlo-host" "$root/usr/bin/kxbus-sim" "$root/usr/lib/$libdir/libfenlodrv.so"; do
    file "$elf" | grep -c 'not stripped' >/dev/null && fail "$(basename "$elf") is not stripped"
    readelf -lW "$elf" | grep -c GNU_RELRO >/dev/null || fail "$(basename "$elf") has no RELRO"
    readelf -dW "$elf" | grep -c 'BIND_NOW\|FLAGS.*NOW' >/dev/null || fail "$(basename "$elf") is not linked with -z now"
done
readelf -sW --dyn-syms "$root/usr/lib/$libdir/libfenlodrv.so" | grep -c '__[a-z]*_chk' >/dev/null ||
    fail "the plug-in was built without _FORTIFY_SOURCE"
ok "private libraries with RUNPATH, stripped, hardened"

gw="$root/usr/lib/$libdir/fenlo-opcua"
[ -f "$gw/node_modules/koffi/package.json" ] || fail "koffi is not bundled"
find "$gw/node_modules" \( -name '.eslintrc*' -o -name '.npmignore' -o -name 'jsdoc' \) | grep . &&
    fail "development files among the bundled npm packages"
ok "production npm packages only"

grep -qx 'InstDir=/var/lib/korvex' "$root/etc/korvex/opc-server.conf" ||
    fail "opc-server.conf does not name /var/lib/korvex"

# Every program answers --help and --version (the package's version) from where the package put it.
programs=(linkspy-cli kxcfg kxbus-sim fenlo-host fenlo-opcua fenlo-ua-client)
[ -x "$build/scantool/gui/linkspy" ] && programs+=(linkspy)
for program in "${programs[@]}"; do
    exe="$root/usr/bin/$program"
    [ -x "$exe" ] || fail "$program is not installed in /usr/bin"
    out="$(QT_QPA_PLATFORM=offscreen "$exe" --help 2>&1)" || fail "$program --help exits non-zero"
    [[ "$out" == *[Uu]sage* ]] || fail "$program --help prints no usage: $out"
    out="$(QT_QPA_PLATFORM=offscreen "$exe" --version 2>/dev/null)" || fail "$program --version exits non-zero"
    [ "$out" = "$program $version" ] || fail "$program --version says '$out', the package is $version"
done
ok "every program answers --help and --version $version"
for args in "" "frobnicate" "check --bogus x.cfg"; do
    # shellcheck disable=SC2086
    rc=0; "$root/usr/bin/kxcfg" $args >/dev/null 2>&1 || rc=$?
    [ "$rc" -eq 2 ] || fail "kxcfg $args exits $rc, not 2"
done
ok "kxcfg exits 2 on bad arguments"

# Manual pages, compressed, with every subcommand; the completions know every option.
declare -A subcommands=(
    [linkspy-cli]="ports port-test port|set scan test report generate fetch"
    [kxcfg]="dump check"
    [fenlo-host]="describe browse session read write watch"
)
# shellcheck source=completions/kvx.bash
source "$root/usr/share/bash-completion/completions/linkspy-cli"
for program in "${programs[@]}"; do
    page="$root/usr/share/man/man1/$program.1.gz"
    [ -f "$page" ] || fail "manual page of $program missing"
    zcat "$page" | grep -c '^\.SH' >/dev/null || fail "manual page of $program is empty"
    [ -e "$root/usr/share/bash-completion/completions/$program" ] || fail "no completion for $program"
    for sub in "" ${subcommands[$program]:-}; do
        words=" $(_kvx_words "$program" "${sub##*|}" | tr '\n' ' ') "
        # shellcheck disable=SC2086
        help="$(QT_QPA_PLATFORM=offscreen "$root/usr/bin/$program" ${sub//|/ } --help 2>&1)"
        if [ -n "$sub" ]; then
            zcat "$page" | grep -c "^\.SS \"${sub//|/ }\"" >/dev/null || fail "manual page of $program lacks $sub"
            [[ " $(_kvx_words "$program" "") " == *" ${sub%%|*} "* ]] || fail "completion of $program lacks $sub"
        fi
        for option in $(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
            [[ "$words" == *" $option "* ]] || fail "completion of $program ${sub//|/ } lacks $option"
        done
    done
done
ok "manual pages with their subcommands, completions with every option"

# The installed documentation: the README's and the notes' links resolve, the paths are the
# package's.
doc="$root/usr/share/doc/kvx-fieldbus-link"
for file in copyright changelog.gz README.md docs/driver-configuration.md; do
    [ -f "$doc/$file" ] || fail "$file missing from $doc"
done
[ "$(zcat "$doc/changelog.gz" | head -1 | sed 's/.*(\(.*\)).*/\1/')" = "$version" ] ||
    fail "the changelog's latest entry is not $version"
grep -q "node_modules/koffi/\*" "$doc/copyright" || fail "the copyright file does not list the bundled npm packages"
while IFS= read -r md; do
    dir="$(dirname "$md")"
    for link in $(grep -o '\]([^)#]*' "$md" | sed 's/^](//' | grep -v '^[a-z]*:' || true); do
        [ -e "$dir/$link" ] || fail "$(basename "$md"): the link $link does not resolve in the installed copy"
    done
done < <(find "$doc" -name '*.md')
grep -rn -e '\.\./lib' -e '/opt/korvex' "$doc" --include='*.md' && fail "the installed docs name paths the package does not have"
grep -q '/usr/share/kvx-fieldbus-link/samples' "$doc/README.md" || fail "the README does not name the samples' installed path"
grep -q 'fenlo-ua-client' "$doc/README.md" || fail "the README does not name fenlo-ua-client"
[ -f "$root/usr/share/kvx-fieldbus-link/samples/devices/tc200.cfg" ] || fail "samples missing"
ok "installed documentation"

# --- The installed programs at work ----------------------------------------------------------
conf="$scratch/opc-server.conf"
printf '[OPC Server]\nInstDir=%s\nVersion=9.87.65\n' "$scratch" >"$conf"
out="$(env -u KORVEX_OPC_INSTDIR KORVEX_OPC_SERVER_CONF="$conf" "$root/usr/bin/fenlo-host" describe)" ||
    fail "fenlo-host describe failed: $out"
[[ "$out" == *9.87.65* ]] || fail "fenlo-host describe did not show the installed settings: $out"
ok "fenlo-host finds the plug-in in the private library folder"

# The gateway, with no fenlodrv.ini yet, waits and says so; once the file is there it serves
# the simulator's values to an OPC UA client, which reads and writes through it.
samples="$root/usr/share/kvx-fieldbus-link/samples"
inst="$scratch/inst"
mkdir "$inst"
cp "$samples"/devices/*.cfg "$inst/"
"$root/usr/bin/kxbus-sim" --scenario "$samples/scenarios/demo.json" --link "$scratch/bus" \
    >"$scratch/sim.log" 2>&1 &
pids+=($!)
# A port the system hands out as free.
port="$(node -e "const s = require('net').createServer().listen(0, '127.0.0.1', () => { console.log(s.address().port); s.close(); })")"
[ ! -e /etc/fenlodrv.ini ] || fail "/etc/fenlodrv.ini exists on this machine: the wait cannot be shown"
# Under the service unit's system-call filter, address families and umask.
unit="$root/lib/systemd/system/fenlo-opcua.service"
KORVEX_OPC_INSTDIR="$inst" PATH=/usr/bin:/bin "$source_dir/packaging/service-sandbox.py" "$unit" \
    "$root/usr/bin/fenlo-opcua" --port "$port" --pki "$scratch/pki" >"$scratch/gateway.log" 2>&1 &
gateway=$!
pids+=("$gateway")
waitfor() { # PATTERN FILE SECONDS
    for ((i = 0; i < $3 * 10; i++)); do
        grep -q "$1" "$2" && return 0
        kill -0 "$gateway" 2>/dev/null || { cat "$2" >&2; fail "the gateway ended"; }
        sleep 0.1
    done
    cat "$2" >&2
    fail "no '$1' in $(basename "$2") after $3 s"
}
waitfor "no fenlodrv.ini in $inst yet" "$scratch/gateway.log" 30
sleep 2
grep -q listening "$scratch/gateway.log" && fail "the gateway listens without fenlodrv.ini"
sed "s|^COM=.*|COM=$scratch/bus|" "$samples/fenlodrv.ini" >"$inst/fenlodrv.ini"
waitfor "listening on opc.tcp://" "$scratch/gateway.log" 120
ok "the gateway waited for fenlodrv.ini, then started"
out="$("$root/usr/bin/fenlo-ua-client" "opc.tcp://127.0.0.1:$port" --once \
    --write ADR03.Process.Setpoint=61.5 2>&1)" || { echo "$out" >&2; fail "fenlo-ua-client failed"; }
[[ "$out" == *"ADR03.DEVICE_ID"* ]] || { echo "$out" >&2; fail "the client shows no device id"; }
[[ "$out" == *"write ADR03.Process.Setpoint = 61.5: Good; read back 61.5"* ]] ||
    { echo "$out" >&2; fail "the write did not come back through the installed gateway"; }
ok "the installed gateway serves the simulator to the installed OPC UA client, under the unit's filters"
key="$(find "$scratch/pki" -path '*/private/*' -name '*.pem' | head -1)"
[ -n "$key" ] || fail "the gateway made no private key"
[ "$(stat -c %a "$key")" = 600 ] || fail "the gateway's private key is $(stat -c %a "$key"), not 600"
ok "the gateway's private key is 0600 under the unit's umask"
# MemoryDenyWriteExecute= stays off: Node.js's compiler writes the code it runs.
if "$source_dir/packaging/service-sandbox.py" --mdwe "$unit" node -e 'for (let i = 0; i < 1e6; i++);' \
    >/dev/null 2>&1; then
    fail "Node.js runs with MemoryDenyWriteExecute: the unit can set it"
fi
ok "Node.js cannot run with MemoryDenyWriteExecute"

# --- The service unit ------------------------------------------------------------------------
[ -f "$unit" ] || fail "service unit missing"
if command -v systemd-analyze >/dev/null; then
    # Verified against the unpacked tree, with the system's own units (targets, sockets) the
    # gateway's unit refers to.
    cp -rn /lib/systemd/system/. "$root/lib/systemd/system/"
    verify="$(systemd-analyze verify --man=no --root="$root" /lib/systemd/system/fenlo-opcua.service 2>&1)" ||
        fail "systemd-analyze verify: $verify"
    [ -z "$verify" ] || fail "systemd-analyze verify reported: $verify"
    exposure="$(systemd-analyze security --offline=yes --root="$root" fenlo-opcua.service 2>&1 |
        sed -n 's/.*Overall exposure level for fenlo-opcua.service: \([0-9.]*\).*/\1/p')"
    [ -n "$exposure" ] || fail "systemd-analyze security gave no exposure"
    awk -v e="$exposure" 'BEGIN { exit !(e <= 4.0) }' || fail "exposure $exposure is above 4.0"
    ok "systemd-analyze verify, exposure $exposure"
fi
echo "package test passed"
