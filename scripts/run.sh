#!/usr/bin/env bash
# Builds inkmask and opens the window on IMAGE, or on the bundled sample scan.
# Installs what is missing first. Only the window is built here; the tests and
# benchmarks are built by scripts/test.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"

# Without a display there is nothing to open the window on: say so before
# spending minutes on installing and building.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "inkmask needs a display: no DISPLAY or WAYLAND_DISPLAY is set." >&2
    echo "Run it from a desktop session, or under a virtual one: xvfb-run -a $0 ${1:-}" >&2
    exit 1
fi

inkmask_ensure_packages "${INKMASK_PACKAGES[@]}"
build="${INKMASK_BUILD_DIR:-$root/build}"
inkmask_build "$build" --target inkmask

image="${1:-$root/examples/plan.png}"
exec "$build/shell/inkmask" "$image"
