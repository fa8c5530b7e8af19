#!/usr/bin/env bash
# Remakes the README's figure of automatic thresholds: a sample scan on shaded
# paper, and NB's result on it with 180,180,180 and with --thresholds auto,
# made by the real inkmask-batch, into doc/screenshots/. No display needed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"

inkmask_ensure_packages "${INKMASK_PACKAGES[@]}"
build="${INKMASK_BUILD_DIR:-$root/build}"
inkmask_build "$build" --target inkmask-batch --target inkmask-samplegen
out="$root/doc/screenshots"
mkdir -p "$out"

"$build/tools/samplegen/inkmask-samplegen" --size 600x450 --seed 2 --paper shaded \
    "$out/shaded-scan.png"
"$build/batch/inkmask-batch" --quiet --steps nb --thresholds 180,180,180 \
    --mask "$out/shaded-nb-180.png" "$out/shaded-scan.png"
"$build/batch/inkmask-batch" --steps nb --thresholds auto \
    --mask "$out/shaded-nb-auto.png" "$out/shaded-scan.png"
echo "Figure written to $out/shaded-*.png"
