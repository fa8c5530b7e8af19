#!/usr/bin/env bash
# A long random session through the real window, headless: 1,000 actions
# (passes, Reload, Cancel, box edits good and bad, pointer moves, arrow and
# zoom keys, clicks during passes) on a 2000 x 1500 picture, the invariants
# checked after each and the peak memory every 100. Prints actions per
# second and peak memory; fails when an invariant breaks or the peak keeps
# growing. Installs what is missing and builds first. Not part of CI.
#
#   scripts/soak.sh [ACTIONS [SEED]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"

inkmask_ensure_packages "${INKMASK_PACKAGES[@]}"
build="${INKMASK_BUILD_DIR:-$root/build}"
inkmask_build "$build"
QT_QPA_PLATFORM=offscreen "$build/tests/inkmask_soak" "${1:-1000}" "${2:-1}"
