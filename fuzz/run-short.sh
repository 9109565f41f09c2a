#!/usr/bin/env bash
# Builds the libFuzzer targets with the fuzz preset and runs each one for a short while
# (FUZZ_SECONDS, default 20). Seeds come from fuzz/<layer>/corpus/<target>/ and, for the
# device description fuzzer, from samples/devices/. Exits 0 only when no target crashed.
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"
seconds="${FUZZ_SECONDS:-20}"
cd "$root" || exit 2

cmake --preset fuzz >/dev/null || { echo "run-short: configure failed" >&2; exit 2; }
cmake --build --preset fuzz -j2 --target kvx_fuzz_all || { echo "run-short: build failed" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
found=0
while IFS= read -r -d '' exe; do
    name="$(basename "$exe")"
    target="${name#fuzz_}"
    layer="$(basename "$(dirname "$exe")")"
    found=$((found + 1))
    corpus="$work/$name"
    mkdir -p "$corpus"
    seeds="$root/fuzz/$layer/corpus/$target"
    [ -d "$seeds" ] && cp -r "$seeds/." "$corpus/" 2>/dev/null
    if [ "$target" = "cfg_parser" ] && [ -d "$root/samples/devices" ]; then
        find "$root/samples/devices" -maxdepth 1 -type f -iname '*.cfg' -exec cp {} "$corpus/" \;
    fi
    echo "== $name (${seconds}s)"
    (cd "$work" && "$exe" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=65536 -print_final_stats=1 "$corpus") >"$work/$name.log" 2>&1
    rc=$?
    tail -n 12 "$work/$name.log"
    if [ $rc -ne 0 ]; then
        echo "run-short: $name FAILED (exit $rc)" >&2
        grep -m 20 -E "ERROR|SUMMARY|==[0-9]+==" "$work/$name.log" >&2
        # Keep the reproducer where CI can pick it up.
        mkdir -p "$root/build/fuzz/crashes"
        cp "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$root/build/fuzz/crashes/" 2>/dev/null
        status=1
    fi
done < <(find "$root/build/fuzz/fuzz" -type f -name 'fuzz_*' -perm -u+x -print0 2>/dev/null | sort -z)

if [ "$found" -eq 0 ]; then
    echo "run-short: no fuzz targets were built" >&2
    exit 2
fi
exit $status
