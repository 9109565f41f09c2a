#!/usr/bin/env bash
# Remakes docs/screenshots/*.png: linkspy offscreen over the simulated sample devices (main
# window after a scan and a test, the cycles, save-protocol, generate and port dialogs, the
# scan's progress window). Builds the dev preset's screenshot program first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup-deps.sh
kvx_install_deps
cmake --preset dev >/dev/null
cmake --build --preset dev -j2 --target linkspy_screenshots
QT_QPA_PLATFORM=offscreen build/dev/tests/gui/linkspy_screenshots docs/screenshots
