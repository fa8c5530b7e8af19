#!/usr/bin/env bash
# Builds inkmask in Release and installs it: the programs in bin/ (inkmask,
# inkmask-batch and the inkmask-slurm script beside it), the desktop
# entry, the icon and the manual pages. Installs what the build needs first.
#
#   ./scripts/install.sh [PREFIX]      (default /usr/local)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"

prefix=${1:-/usr/local}
inkmask_ensure_packages "${INKMASK_PACKAGES[@]}"
build="$root/build-release"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DINKMASK_BENCHMARKS=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$build" -j "$(nproc)"
cmake --install "$build"

# Let the desktop find the new entry and icon at once, where it can.
if command -v update-desktop-database >/dev/null; then
    update-desktop-database -q "$prefix/share/applications" || true
fi
if command -v gtk-update-icon-cache >/dev/null; then
    gtk-update-icon-cache -q -t "$prefix/share/icons/hicolor" || true
fi
echo "Installed inkmask in $prefix"
