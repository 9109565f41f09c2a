#!/usr/bin/env bash
# The package install of the setup scripts against a fake apt-get whose index refresh fails:
# retried, the failing index named, the install still made, and only its own failure fatal.
set -u
root="$(cd "$(dirname "$0")/../.." && pwd)"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The fake records each call; `update` fails the number of times in update-failures, in the
# way a mirror out of sync fails one list; `install` fails when install-fails exists.
mkdir "$dir/bin"
cat >"$dir/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
state="$KVX_FAKE_APT_STATE"
echo "$*" >>"$state/calls"
case "$1" in
update)
    left="$(cat "$state/update-failures" 2>/dev/null || echo 0)"
    if [ "$left" -gt 0 ]; then
        echo $((left - 1)) >"$state/update-failures"
        echo "E: Failed to fetch http://mirror.invalid/debian/dists/bookworm/main/binary-i386/Packages.xz  File has unexpected size (1200 != 1300). Mirror sync in progress?" >&2
        echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
        exit 100
    fi
    [ ! -e "$state/update-warns" ] || {
        echo "W: Failed to fetch http://mirror.invalid/debian/dists/bookworm/contrib/binary-amd64/Packages  404  Not Found" >&2
        rm "$state/update-warns"
    }
    exit 0 ;;
install)
    [ ! -e "$state/install-fails" ] || { echo "E: Unable to locate package $*" >&2; exit 100; }
    exit 0 ;;
esac
exit 1
FAKE
printf '#!/bin/sh\nexec "$@"\n' >"$dir/bin/sudo"
chmod +x "$dir/bin/apt-get" "$dir/bin/sudo"

# Runs the install as test.sh does (errexit on) and leaves its stderr in $dir/err, the status
# in $status; "after" on stdout shows that the caller went on.
run() {
    rm -rf "$dir/state" && mkdir "$dir/state"
    echo "$1" >"$dir/state/update-failures"
    [ "$2" = install-ok ] || touch "$dir/state/install-fails"
    [ "${3:-}" != warn ] || touch "$dir/state/update-warns"
    out="$(PATH="$dir/bin:$PATH" KVX_FAKE_APT_STATE="$dir/state" KVX_APT_UPDATE_TRIES=3 \
        KVX_APT_RETRY_SECONDS=0 bash -c 'set -euo pipefail; source "$1/scripts/setup-deps.sh"
            kvx_apt_install --no-install-recommends pkg-a pkg-b:i386; echo after' _ "$root" \
        2>"$dir/err")"
    status=$?
    updates="$(grep -c '^update' "$dir/state/calls")"
    installs="$(grep -cx 'install -y -qq --no-install-recommends pkg-a pkg-b:i386' \
        "$dir/state/calls")"
}
index="http://mirror.invalid/debian/dists/bookworm/main/binary-i386/Packages.xz"

# A refresh that works at once: one update, the install, no complaint.
run 0 install-ok
[ $status -eq 0 ] && [ "$out" = after ] || fail "clean install: status $status, $(cat "$dir/err")"
[ "$updates" -eq 1 ] && [ "$installs" -eq 1 ] || fail "clean install: $(cat "$dir/state/calls")"
[ ! -s "$dir/err" ] || fail "clean install complained: $(cat "$dir/err")"

# Two failed refreshes, then a good one: retried, and no failure is left to report.
run 2 install-ok
[ $status -eq 0 ] && [ "$out" = after ] || fail "retry: status $status, $(cat "$dir/err")"
[ "$updates" -eq 3 ] && [ "$installs" -eq 1 ] || fail "retry: $(cat "$dir/state/calls")"
grep -q "try 2 of 3" "$dir/err" || fail "retry not told: $(cat "$dir/err")"
! grep -q "could not be fetched" "$dir/err" || fail "retry told as failure: $(cat "$dir/err")"

# Every refresh fails, the install works: the caller goes on and the index is named.
run 9 install-ok
[ $status -eq 0 ] && [ "$out" = after ] || fail "failed index: status $status, $(cat "$dir/err")"
[ "$updates" -eq 3 ] && [ "$installs" -eq 1 ] || fail "failed index: $(cat "$dir/state/calls")"
grep -q "could not be fetched" "$dir/err" && grep -qF "  $index" "$dir/err" ||
    fail "failing index not named: $(cat "$dir/err")"

# An update that ends with 0 but warns of a list it could not fetch is retried as well.
run 0 install-ok warn
[ $status -eq 0 ] && [ "$updates" -eq 2 ] && [ "$installs" -eq 1 ] ||
    fail "warning: status $status, $(cat "$dir/state/calls")"

# Both fail: a failure, with the index and the packages named, and the caller stops.
run 9 install-fails
[ $status -ne 0 ] && [ -z "$out" ] || fail "failed install reported as success: $out"
grep -q "apt-get install failed for: --no-install-recommends pkg-a pkg-b:i386" "$dir/err" &&
    grep -qF "  $index" "$dir/err" || fail "failed install not told: $(cat "$dir/err")"
echo "apt install: all cases passed"
