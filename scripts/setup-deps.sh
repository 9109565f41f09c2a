# Installs what the build and tests need when it is missing. Sourced by test.sh, demo.sh
# and .ci/run.
KVX_APT_PACKAGES=(
    build-essential cmake ninja-build ccache pkg-config
    clang libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libfmt-dev nlohmann-json3-dev libcli11-dev
    help2man lintian python3-seccomp
    qt6-base-dev qt6-svg-dev fonts-dejavu-core
    mosquitto
)

kvx_install_deps() {
    local missing=()
    for pkg in "${KVX_APT_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
    done
    if ((${#missing[@]})); then
        echo "installing: ${missing[*]}" >&2
        kvx_apt_install "${missing[@]}"
    fi
    # Paths below the checkout are hashed relative to it and the working directory is left
    # out of the hash, so clones in other folders share the cache (debug builds included).
    export CCACHE_BASEDIR="$PWD"
    export CCACHE_NOHASHDIR=1
    export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
    kvx_install_node_deps
}

# Node.js, and the OPC UA gateway's packages at the exact versions of gateway/package-lock.json
# (`npm ci`, again only when the lock file changed since the last install).
kvx_install_node_deps() {
    if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
        echo "installing: nodejs npm" >&2
        kvx_apt_install nodejs npm
    fi
    local stamp=gateway/node_modules/.kvx-package-lock.json
    if ! cmp -s gateway/package-lock.json "$stamp" 2>/dev/null; then
        echo "npm ci: the OPC UA gateway's packages" >&2
        if ! (cd gateway && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error); then
            echo "npm ci failed in gateway/: the OPC UA gateway cannot run" >&2
            return 1
        fi
        cp gateway/package-lock.json "$stamp"
    fi
}

# apt-get as root, through sudo otherwise.
kvx_apt() {
    if [ "$(id -u)" -eq 0 ]; then
        apt-get "$@"
    else
        sudo apt-get "$@"
    fi
}

# Refreshes the package lists, then installs the packages given (install options may come
# first). A list that cannot be fetched, as when a mirror is briefly out of sync, is retried
# (KVX_APT_UPDATE_TRIES times, KVX_APT_RETRY_SECONDS apart) and then named; the install goes
# on with the lists at hand, and only the install's own failure is a failure.
kvx_apt_install() {
    local tries="${KVX_APT_UPDATE_TRIES:-3}" pause="${KVX_APT_RETRY_SECONDS:-15}"
    local log attempt=1 failed=""
    log="$(mktemp)"
    while :; do
        # apt-get may end with 0 though an index failed ("old ones used instead").
        if kvx_apt update -qq >"$log" 2>&1 && ! grep -q "Failed to fetch" "$log"; then
            failed=""
            break
        fi
        failed="$(sed -n 's/.*Failed to fetch \([^ ]*\).*/\1/p' "$log" | sort -u)"
        [ -n "$failed" ] || failed="$(tail -n 3 "$log")"
        if ((attempt >= tries)); then
            break
        fi
        echo "apt-get update failed (try $attempt of $tries), again in ${pause}s:" >&2
        printf '  %s\n' "$failed" >&2
        sleep "$pause"
        attempt=$((attempt + 1))
    done
    rm -f "$log"
    if [ -n "$failed" ]; then
        echo "apt-get update failed $tries times; installing from the package lists at hand." >&2
        echo "These indexes could not be fetched:" >&2
        printf '  %s\n' "$failed" >&2
    fi
    if ! DEBIAN_FRONTEND=noninteractive kvx_apt install -y -qq "$@" >/dev/null; then
        echo "apt-get install failed for: $*" >&2
        [ -z "$failed" ] || echo "(the package lists above could not be refreshed)" >&2
        return 1
    fi
}
