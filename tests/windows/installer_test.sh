#!/usr/bin/env bash
# The installer under Wine: a silent install into a folder named with /D=, the registry key in
# the installer's view, the installed programs and DLL on the simulated bus through COM5 with
# the installation directory taken from the registry, and a silent uninstall that leaves only
# the plant's files and removes the key.
# Usage: installer_test.sh KXBUS_SIM SETUP_EXE SAMPLES_DIR VIEW(32|64) VERSION
set -euo pipefail
sim="$1" setup="$2" samples="$3" view="$4" version="$5"
source "$(dirname "$0")/com5_common.sh"
key='HKLM\SOFTWARE\KORVEX\OPC Server'
uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\KVX field-bus link'
regq() { wine reg query "$@" "/reg:$view" </dev/null 2>/dev/null | tr -d '\r'; }
reg_value() { regq "$key" /v "$1" | sed -n "s/^ *$1 *REG_SZ *//p"; }
kvx_com5_extra_cleanup() {
    wine reg delete "$key" /f "/reg:$view" </dev/null >/dev/null 2>&1 || true
    wine reg delete "$uninstall_key" /f "/reg:$view" </dev/null >/dev/null 2>&1 || true
    [ -n "${dest:-}" ] && rm -rf "$dest"
}
kvx_com5_start "$sim" "$samples"
[ -f "$setup" ] || fail "no installer: $setup"
! regq "$key" >/dev/null || fail "the key $key is there before the installation"

# A folder with a blank in its name, on drive C: as a plant's would be.
dest="$(mktemp -d "$WINEPREFIX/drive_c/KVX link.XXXXXX")"
rmdir "$dest"
instdir="C:\\$(basename "$dest")"

install() { wine cmd /c "$(windows_path "$setup") /S /D=$1" </dev/null; }

echo "== a /D= folder that cannot be made (below a file) stops the installation"
touch "$dest"
status=0
install "$instdir\\sub" || status=$?
[ "$status" = 2 ] || fail "the installer ended with status $status"
! regq "$key" >/dev/null || fail "the key was written: $(regq "$key")"
rm "$dest"

echo "== silent install into $instdir"
# /D= takes the rest of the command line as it stands, blanks included, never in quotes: cmd
# passes it on unchanged, where wine would quote the argument.
install "$instdir" || fail "the installer ended with status $?"
[ "$(reg_value InstDir)" = "$instdir" ] || fail "InstDir: '$(reg_value InstDir)'"
[ "$(reg_value Version)" = "$version" ] || fail "Version: '$(reg_value Version)'"
regq "$uninstall_key" | grep -q 'QuietUninstallString.*uninstall.exe" /S' ||
    fail "no uninstall entry: $(regq "$uninstall_key")"
for f in fenlodrv.dll fenlo-host.exe linkspy-cli.exe linkspy.exe linkspy.html kxcfg.exe uninstall.exe \
         samples/devices/tc200.cfg samples/fenlodrv.ini docs/README.md include/fenlodrv/plugin_abi.h; do
    [ -f "$dest/$f" ] || fail "not installed: $f"
done
installed="$(cd "$dest" && find . -type f | sort)"

echo "== the plant's files, made with the installed tool"
cp "$dest"/samples/devices/*.cfg "$dest/samples/LINKSPY.INI" "$dest/"
tool="$instdir\\linkspy-cli.exe"
wine "$tool" -C "$instdir" port set COM5 </dev/null >/dev/null 2>"$work/tool.err" ||
    fail "port set: $(cat "$work/tool.err")"
wine "$tool" -C "$instdir" generate </dev/null >"$work/generate.out" 2>"$work/tool.err" ||
    fail "generate: $(cat "$work/tool.err")"
tr -d '\r' <"$dest/fenlodrv.ini" | grep -qx 'COM=COM5' || fail "fenlodrv.ini: $(cat "$dest/fenlodrv.ini")"
echo "site notes" >"$dest/Site 3.txt"

echo "== the installed DLL, its folder from the registry, on COM5"
host="$instdir\\fenlo-host.exe"
(cd "$work" && env -u KORVEX_OPC_INSTDIR wine "$host" describe </dev/null) | tr -d '\r' >"$work/describe.out"
grep -q "Korvex OPC Server V:$version" "$work/describe.out" ||
    fail "the version from the registry: $(cat "$work/describe.out")"
(cd "$work" && env -u KORVEX_OPC_INSTDIR wine "$host" read --wait-good 30000 \
    ADR03.DEVICE_ID ADR12.DEVICE_ID </dev/null) | tr -d '\r' >"$work/read.out" ||
    fail "no good values: $(cat "$work/read.out")"
cat "$work/read.out"
grep -q '"value":"TC-200".*"quality":192\|"quality":192.*"value":"TC-200"' "$work/read.out" ||
    fail "member 3 not served: $(cat "$work/read.out")"
grep -q '"value":"FD-7"' "$work/read.out" || fail "member 12 not served: $(cat "$work/read.out")"

plant="$(cd "$dest" && find . -type f | sort | comm -13 <(echo "$installed") -)"
echo "the plant's files: $(echo $plant)"

echo "== silent uninstall"
wine "$instdir\\uninstall.exe" /S </dev/null || fail "the uninstaller ended with status $?"
# The uninstaller runs on from a copy of itself; its last step removes the key.
for _ in $(seq 240); do regq "$key" >/dev/null || break; sleep 0.5; done
! regq "$key" >/dev/null || fail "the key is still there after 120 s: $(regq "$key")"
! regq "$uninstall_key" >/dev/null || fail "the uninstall entry is still there"
left="$(cd "$dest" && find . | sort)"
expected="$( (echo .; echo "$plant") | sort)"
[ "$left" = "$expected" ] || fail "left after the uninstallation:
$left
expected:
$expected"
echo "1 passed, 0 failed: installed, served on COM5 and uninstalled, the plant's files kept"
