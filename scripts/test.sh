#!/usr/bin/env bash
# Builds inkmask and runs every test, headless. Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"

inkmask_ensure_packages "${INKMASK_PACKAGES[@]}"
build="${INKMASK_BUILD_DIR:-$root/build}"
inkmask_build "$build"
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)"
