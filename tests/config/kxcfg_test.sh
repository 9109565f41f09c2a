#!/usr/bin/env bash
# kxcfg end to end: dump and check on a good description and on hostile files.
set -u
kxcfg="$1"
samples="${2:-}"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

printf 'fetchID\tdesadr=0\tbytes=40\r\nscanID\treadoffset=0\tlength=6\tIDstr=KX-100\tname=Pump \xe4\tend=1\r\n\r\nfetch1\tdesadr=16\tbytes=32\r\ntag\tname=Level\taccess=r\tdtype=int\treadoffset=0\tfactor=0.1\tlength=2\r\n' >"$dir/good.cfg"
out="$("$kxcfg" dump "$dir/good.cfg")" || fail "dump exit status"
[ "$(printf '%s\n' "$out" | wc -l)" -eq 4 ] || fail "dump line count: $out"
printf '%s\n' "$out" | grep -qx '{"line":4,"kind":1,"desadr":16,"bytes":32}' || fail "fetch1 record: $out"
printf '%s\n' "$out" | grep -q '"name":"Pump ä"' || fail "ANSI text not shown as UTF-8: $out"
printf '%s\n' "$out" | grep -q '"factor":0.1,' || fail "factor: $out"
tool="$("$kxcfg" dump --tool "$dir/good.cfg")" || fail "dump --tool exit status"
printf '%s' "$tool" | grep -q '"fetch1":{"desadr":16,"bytes":32},"recognisedLines":2,"loaded":true' || fail "tool view: $tool"
"$kxcfg" check "$dir/good.cfg" >"$dir/check.txt" || fail "check of a good file: $(cat "$dir/check.txt")"

printf 'fetchID\tdesadr=0\tbytes=40\nscanID\treadoffset=0\tlength=6\tIDstr=A\tname=B\tx=1\nfetch1\tdesadr=1\tbytes=8\ntag\t\tname=X\tdtype=int\n' >"$dir/bad.cfg"
"$kxcfg" check "$dir/good.cfg" "$dir/bad.cfg" >"$dir/check.txt"
[ $? -eq 1 ] || fail "check must exit 1 on an error"
grep -q "bad.cfg:4: error: " "$dir/check.txt" || fail "finding names file and line: $(cat "$dir/check.txt")"

# Hostile files: a 1 MB line, binary garbage, no line end at all, a missing file.
head -c 1048576 /dev/zero | tr '\0' 'a' >"$dir/long.cfg"
printf '\ttag\tname=' >>"$dir/long.cfg"
head -c 65536 /dev/urandom >"$dir/garbage.cfg"
printf 'scanID\tname=' >"$dir/noend.cfg"
for f in long garbage noend; do
    "$kxcfg" dump "$dir/$f.cfg" >/dev/null || fail "dump $f"
    "$kxcfg" dump --tool "$dir/$f.cfg" >/dev/null || fail "dump --tool $f"
    "$kxcfg" check "$dir/$f.cfg" >/dev/null
    [ $? -le 1 ] || fail "check $f"
done
[ "$("$kxcfg" dump "$dir/long.cfg" | wc -l)" -eq 2053 ] || fail "1 MB line is read in 511-character pieces"
"$kxcfg" check "$dir/missing.cfg" 2>/dev/null
[ $? -eq 1 ] || fail "missing file must be an error"
"$kxcfg" dump "$dir/missing.cfg" 2>/dev/null && fail "dump of a missing file"
# A name longer than a CFG= value holds; a FIFO is no description and must not block.
long="$dir/$(printf 'a%.0s' $(seq 45)).cfg"
cp "$dir/good.cfg" "$long"
"$kxcfg" check "$long" >"$dir/check.txt"
[ $? -eq 1 ] || fail "check must flag a 49-character file name"
grep -q "cannot find this file" "$dir/check.txt" || fail "file name finding: $(cat "$dir/check.txt")"
mkfifo "$dir/fifo.cfg"
timeout 10 "$kxcfg" check "$dir/fifo.cfg" 2>"$dir/err.txt"
[ $? -eq 1 ] || fail "check of a FIFO must fail at once"
grep -q "not a regular file" "$dir/err.txt" || fail "FIFO message: $(cat "$dir/err.txt")"
# The sample device descriptions of the repository, when there are any.
if [ -n "$samples" ] && [ -d "$samples" ]; then
    for f in "$samples"/*.cfg; do
        [ -e "$f" ] || continue
        "$kxcfg" dump "$f" >/dev/null || fail "dump $f"
        "$kxcfg" dump --tool "$f" | grep -q '"loaded":true' || fail "$f is not loadable by the scan tool"
        "$kxcfg" check "$f" >/dev/null
        [ $? -le 1 ] || fail "check $f"
    done
fi
echo "kxcfg: all checks passed"
