#!/usr/bin/env bash
# Runs the gateway's tests once under Debian 12's own Node.js (the nodejs a stock Debian 12 and
# the package's Depends give), whatever Node.js this machine has. Debian's nodejs, libnode and
# the node-* packages they need are downloaded and unpacked into a folder; the tests then run in
# a private mount namespace where that node stands at /usr/bin/node and its /usr/share/nodejs is
# overlaid, so the machine's own Node.js is never touched.
# Usage: scripts/gateway-debian-node.sh BUILD_DIR [CTEST_ARGS...]   (a built tree, e.g. build/dev)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(readlink -f "${1:?usage: $0 BUILD_DIR [CTEST_ARGS...]}")"
shift
[ -x "$build/gateway/fenlo-opcua" ] || { echo "no gateway launcher in $build" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "$0 needs root (mount namespace)" >&2; exit 1; }

# Bookworm's nodejs 18 and the packages it loads at run time; the C libraries it links are
# Debian's own and already on the machine.
packages=(nodejs libnode108 node-acorn node-cjs-module-lexer node-undici node-busboy node-xtend)
debian_node() { apt-cache madison nodejs | awk '$3 ~ /^18\./ && $0 ~ /debian/ {print $3; exit}'; }
nodever="$(debian_node)"
# A machine whose package lists were never fetched knows no version yet.
[ -n "$nodever" ] || { apt-get update -qq || true; nodever="$(debian_node)"; }
[ -n "$nodever" ] || { echo "no Debian nodejs 18 in the apt lists (apt-get update?)" >&2; exit 1; }
cache="${KVX_DEBIAN_NODE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/kvx-debian-node}/$nodever"
root="$cache/root"
if [ ! -x "$root/usr/bin/node" ]; then
    rm -rf "$cache"
    mkdir -p "$cache/debs"
    # apt's sandbox user may not write into root's home.
    chmod 0755 "$cache" "$cache/debs"
    (cd "$cache/debs" && apt-get download -qq -o APT::Sandbox::User=root "nodejs=$nodever" "libnode108=$nodever" \
        "${packages[@]:2}")
    for deb in "$cache"/debs/*.deb; do dpkg-deb -x "$deb" "$root"; done
fi

# The launcher runs the node it was configured with; in the namespace that path is Debian's.
node_path="$(sed -n 's/^ *exec "\([^"]*\)".*/\1/p' "$build/gateway/fenlo-opcua")"
[ -n "$node_path" ] || { echo "cannot read the launcher's node from $build/gateway/fenlo-opcua" >&2; exit 1; }
export KVX_DEBIAN_NODE_ROOT="$root" KVX_NODE_PATH="$node_path" KVX_BUILD="$build"
unshare --mount --propagation private bash -euo pipefail -c '
    mount -t overlay overlay -o "lowerdir=$KVX_DEBIAN_NODE_ROOT/usr/share:/usr/share" /usr/share
    mount --bind "$KVX_DEBIAN_NODE_ROOT/usr/bin/node" "$KVX_NODE_PATH"
    export LD_LIBRARY_PATH="$KVX_DEBIAN_NODE_ROOT/usr/lib/x86_64-linux-gnu"
    echo "gateway tests under $("$KVX_NODE_PATH" -p "\"Node.js \" + process.version") from Debian ($("$KVX_NODE_PATH" -p process.execPath))"
    # Debian builds its node with a shared libnode; a node that is not it would prove nothing.
    # (ldd is read whole first: grep -q leaving early would end ldd by SIGPIPE, a failure under
    # pipefail.)
    libraries="$(ldd "$KVX_NODE_PATH")"
    grep -q "$KVX_DEBIAN_NODE_ROOT/.*libnode.so" <<<"$libraries" ||
        { echo "the node in the namespace is not Debian'"'"'s" >&2; exit 1; }
    ctest --test-dir "$KVX_BUILD" -L gateway --output-on-failure -j "$(nproc)" "$@"
' gateway-debian-node "$@"
