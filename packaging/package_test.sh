#!/usr/bin/env bash
# Builds the Debian package from a build folder, unpacks it into a scratch root and runs the
# programs from their installed paths.  Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source_dir="$2"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1) ||
    { cat "$scratch/cpack.log" >&2; fail "cpack could not build the package"; }
deb="$(ls "$scratch"/out/*.deb)"
echo "package: $(basename "$deb")"

depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
for needed in nodejs adduser; do
    [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed"
done
if [ -x "$build/scantool/gui/linkspy" ]; then
    [[ "$depends" == *libqt6widgets6* ]] || fail "Depends lacks the Qt 6 widgets library"
fi

mkdir "$scratch/control"
dpkg-deb -e "$deb" "$scratch/control"
for conffile in /etc/korvex/opc-server.conf /etc/default/fenlo-opcua; do
    grep -qx "$conffile" "$scratch/control/conffiles" || fail "$conffile is not a conffile"
done
for script in postinst prerm postrm; do
    [ -x "$scratch/control/$script" ] || fail "$script missing or not executable"
    sh -n "$scratch/control/$script" || fail "$script is not valid shell"
done
tr -d '\\\n' <"$scratch/control/postinst" | grep -q 'adduser --system.*--ingroup dialout.* fenlo' ||
    fail "postinst does not create the fenlo user in group dialout"

root="$scratch/root"
dpkg -x "$deb" "$root"
grep -qx 'InstDir=/var/lib/korvex' "$root/etc/korvex/opc-server.conf" ||
    fail "opc-server.conf does not name /var/lib/korvex"

# Every program answers --help from where the package put it.
programs=(linkspy-cli kxcfg kxbus-sim fenlo-host)
[ -x "$build/scantool/gui/linkspy" ] && programs+=(linkspy)
[ -f "$source_dir/gateway/package.json" ] && programs+=(fenlo-opcua)
for program in "${programs[@]}"; do
    exe="$root/usr/bin/$program"
    [ -x "$exe" ] || fail "$program is not installed in /usr/bin"
    out="$(QT_QPA_PLATFORM=offscreen "$exe" --help 2>&1)" || fail "$program --help exits non-zero"
    [[ "$out" == *[Uu]sage* ]] || fail "$program --help prints no usage: $out"
    echo "ok: $program --help"
done

# The host finds the installed plug-in beside its own folder and the installed settings.
conf="$scratch/opc-server.conf"
printf '[OPC Server]\nInstDir=%s\nVersion=9.87.65\n' "$scratch" >"$conf"
out="$(env -u KORVEX_OPC_INSTDIR KORVEX_OPC_SERVER_CONF="$conf" "$root/usr/bin/fenlo-host" describe)" ||
    fail "fenlo-host describe failed: $out"
[[ "$out" == *9.87.65* ]] || fail "fenlo-host describe did not show the installed settings: $out"
echo "ok: fenlo-host describe"

for header in plugin_abi.h oleauto.h; do
    [ -f "$root/usr/include/fenlodrv/$header" ] || fail "header $header missing"
done
[ -f "$root/usr/share/kvx-fieldbus-link/samples/devices/tc200.cfg" ] || fail "samples missing"
[ -f "$root/usr/share/bash-completion/completions/linkspy-cli" ] || fail "completion missing"
if command -v help2man >/dev/null; then
    for program in "${programs[@]}"; do
        grep -q '^\.SH' "$root/usr/share/man/man1/$program.1" || fail "manual page of $program missing"
    done
fi

unit="$root/lib/systemd/system/fenlo-opcua.service"
[ -f "$unit" ] || fail "service unit missing"
if command -v systemd-analyze >/dev/null; then
    # Verified against the unpacked tree, with the system's own units (targets, sockets) the
    # gateway's unit refers to.
    cp -rn /lib/systemd/system/. "$root/lib/systemd/system/"
    [ -x "$root/usr/bin/fenlo-opcua" ] || { mkdir -p "$root/usr/bin"; printf '#!/bin/sh\n' >"$root/usr/bin/fenlo-opcua"; chmod +x "$root/usr/bin/fenlo-opcua"; }
    verify="$(systemd-analyze verify --man=no --root="$root" /lib/systemd/system/fenlo-opcua.service 2>&1)" ||
        fail "systemd-analyze verify: $verify"
    [ -z "$verify" ] || fail "systemd-analyze verify reported: $verify"
    echo "ok: systemd-analyze verify"
fi
echo "package test passed"
