#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine when something is missing, builds the dev preset and runs
# every test with CTest.  Usage: ./test.sh [extra ctest arguments]
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup-deps.sh
kvx_install_deps

cmake --preset dev >/dev/null
cmake --build --preset dev -j "$(nproc)"
ctest --preset dev -j "$(nproc)" "$@"
