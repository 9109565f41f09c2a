#!/usr/bin/env bash
# Fault soak of the driver plug-in: eight simulated members with every simulator fault at 5 %,
# four host threads reading and writing, a namespace rebuild every minute, members failing
# one after the other and the port's device vanishing and coming back. Prints the figures
# and exits non-zero when a check failed. The plug-in's own messages (port failures, refused
# writes) go to standard error; their count is printed at the end.
#   scripts/soak.sh [MINUTES [SOAK_PROGRAM]]   (default 30 minutes, build/dev's program)
set -euo pipefail
minutes="${1:-30}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
soak="${2:-$here/build/dev/tests/reliability/kvx-soak}"
[ -x "$soak" ] || { echo "soak: $soak not built (cmake --build --preset dev)" >&2; exit 2; }

messages="$(mktemp)"
trap 'rm -f "$messages"' EXIT
status=0
"$soak" --minutes "$minutes" 2>"$messages" || status=$?
echo "soak: plug-in messages: $(wc -l <"$messages") in all"
# The most frequent ones.
sort "$messages" | uniq -c | sort -rn | head -8 | sed 's/^/soak:   /'
exit "$status"
