#!/usr/bin/env bash
# The Windows programs on the simulated bus: Wine's COM5 is the Linux simulator's
# pseudo-terminal (the symbolic link dosdevices/com5), so fenlodrv.dll polls and writes the
# members through the Win32 serial calls, and linkspy-cli.exe scans them. The installation
# directory comes from the registry, as an installer writes it.
# Usage: com5_test.sh KXBUS_SIM FENLO_HOST_EXE LINKSPY_CLI_EXE SAMPLES_DIR
# Needs a booted Wine prefix in WINEPREFIX (scripts/windows-check.sh); skips (77) when none is
# named, fails when the one named is not booted.
set -euo pipefail
sim="$1" host="$2" tool="$3" samples="$4"
source "$(dirname "$0")/com5_common.sh"
key='HKLM\SOFTWARE\KORVEX\OPC Server'
system_ini="$WINEPREFIX/drive_c/windows/fenlodrv.ini"
kvx_com5_extra_cleanup() {
    wine reg delete "$key" /f </dev/null >/dev/null 2>&1 || true
    rm -f "$system_ini"
}
kvx_com5_start "$sim" "$samples"

# The installation: device descriptions and the plug-in's INI naming COM5.
cp "$samples"/devices/*.cfg "$samples/LINKSPY.INI" "$work/"
sed 's/^COM=.*/COM=COM5/' "$samples/fenlodrv.ini" >"$work/fenlodrv.ini"
wine reg add "$key" /v InstDir /t REG_SZ /d "$(windows_path "$work")" /f </dev/null >/dev/null
wine reg add "$key" /v Version /t REG_SZ /d 7.6.5 /f </dev/null >/dev/null

echo "== fenlo-host.exe session on COM5"
readback=""
for _ in $(seq 15); do readback+=$'sleep 200\nread ADR03.Process.Setpoint\n'; done
(cd "$work" && env -u KORVEX_OPC_INSTDIR wine "$host" session <<CMDS) | tr -d '\r' >"$work/session.out"
wait ADR03.DEVICE_ID good 20000
wait ADR07.DEVICE_ID good 20000
wait ADR12.DEVICE_ID good 20000
read ADR03.DEVICE_ID ADR03.Process.ActualTemp ADR07.DEVICE_ID ADR12.DEVICE_ID
write ADR03.Process.Setpoint=72.5
${readback}quit
CMDS
cat "$work/session.out"
line() { sed -n "$1p" "$work/session.out"; }
for n in 1 2 3; do
    [[ "$(line $n)" == *'"quality":192'* ]] || fail "member never polled good: $(line $n)"
done
[[ "$(line 4)" == *'"value":"TC-200"'*'"quality":192'* || "$(line 4)" == *'"quality":192'*'"value":"TC-200"'* ]] ||
    fail "TC-200 identity: $(line 4)"
[[ "$(line 5)" == *'"quality":192'* && "$(line 5)" == *'"value":23.5'* ]] ||
    fail "actual temperature: $(line 5)"
[[ "$(line 6)" == *'"quality":192'* && "$(line 7)" == *'"quality":192'* ]] ||
    fail "members 7 and 12: $(line 6) $(line 7)"
[[ "$(line 8)" == *'"written":["ADR03.Process.Setpoint"]'* ]] || fail "write: $(line 8)"
last="$(tail -1 "$work/session.out")"
[[ "$last" == *'"value":72.5'* && "$last" == *'"quality":192'* ]] ||
    fail "the written setpoint did not read back: $last"

echo "== linkspy-cli.exe scan on COM5"
(cd "$work" && wine "$tool" --port COM5 scan </dev/null 2>"$work/scan.err") | tr -d '\r' >"$work/scan.out"
cat "$work/scan.out"
found="$(grep -v -e '-----' "$work/scan.out" | grep '^Adr' | tr '\t' ' ')"
expected=$'Adr. 03: TC-200 tc200.cfg\nAdr. 07: DIO-16 dio16.cfg\nAdr. 12: FD-7 fd7.cfg'
[ "$found" = "$expected" ] || fail "scan found: $found"

echo "== linkspy-cli.exe generate into the Windows directory"
rm -f "$system_ini"
(cd "$work" && wine "$tool" --port COM5 generate --system-dir </dev/null >/dev/null 2>"$work/generate.err") ||
    fail "generate: $(cat "$work/generate.err")"
tr -d '\r' <"$system_ini" 2>/dev/null | grep -qx 'COM=COM5' ||
    fail "no fenlodrv.ini in C:\\windows: $(ls "$WINEPREFIX/drive_c/windows" | grep -i fenlodrv)"
rm -f "$system_ini"
echo "1 passed, 0 failed: the DLL and linkspy-cli.exe on the simulated bus through COM5"
