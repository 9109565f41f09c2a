# Installs what the build and tests need when it is missing. Sourced by test.sh, demo.sh
# and .ci/run.
KVX_APT_PACKAGES=(
    build-essential cmake ninja-build ccache pkg-config
    clang libclang-rt-14-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    libfmt-dev nlohmann-json3-dev libcli11-dev
    help2man
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
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
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
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq nodejs npm >/dev/null
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
