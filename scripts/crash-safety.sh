#!/usr/bin/env bash
# Kills a process with SIGKILL in the middle of rewriting FreeScale.dat, fenlodrv.ini and
# LINKSPY.INI, again and again, and checks after every kill that each file is whole: exactly
# the old version or the new one.
#   scripts/crash-safety.sh [KILLS [REWRITE_LOOP_PROGRAM]]   (default 200, build/dev's program)
set -euo pipefail
kills="${1:-200}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
loop="${2:-$here/build/dev/tests/reliability/kvx-rewrite-loop}"
[ -x "$loop" ] || { echo "crash-safety: $loop not built" >&2; exit 2; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
files=(FreeScale.dat fenlodrv.ini LINKSPY.INI)

# The two versions every file may hold.
mkdir "$work/a" "$work/b" "$work/run"
"$loop" "$work/a" a && "$loop" "$work/a" a
"$loop" "$work/b" a && "$loop" "$work/b" b
for f in "${files[@]}"; do
    cmp -s "$work/a/$f" "$work/b/$f" && { echo "crash-safety: versions of $f do not differ" >&2; exit 2; }
done
"$loop" "$work/run" a

whole=0 torn=0 mid=0
for ((i = 1; i <= kills; i++)); do
    "$loop" "$work/run" loop &
    pid=$!
    # Kill somewhere in the first few rewrites: 0.1 to 20 ms after the start.
    sleep "0.$(printf '%04d' $((RANDOM % 200 + 1)))"
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    for f in "${files[@]}"; do
        if cmp -s "$work/run/$f" "$work/a/$f" || cmp -s "$work/run/$f" "$work/b/$f"; then
            whole=$((whole + 1))
        else
            torn=$((torn + 1))
            echo "crash-safety: kill $i left $f neither old nor new:" >&2
            head -c 400 "$work/run/$f" | od -c | head -5 >&2
        fi
    done
    # Temporary files present right after a kill show the kill hit a rewrite.
    if compgen -G "$work/run/.*" >/dev/null; then mid=$((mid + 1)); fi
done
left="$(find "$work/run" -maxdepth 1 -name '.*' -type f | wc -l)"
echo "crash-safety: $kills kills, $whole whole files, $torn torn, $mid kills during a rewrite" \
     "(temporary file present), $left temporaries left at the end"
[ "$torn" -eq 0 ]
