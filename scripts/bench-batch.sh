#!/usr/bin/env bash
# Benchmarks inkmask-batch: the passes on a 7000 x 5000 sample scan against the
# same operations written with OpenCV, and the program end to end on 20 A4
# pages. Installs what is missing (OpenCV included), builds in Release, runs.
#   scripts/bench-batch.sh [--quick]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"

inkmask_ensure_packages "${INKMASK_PACKAGES[@]}" libopencv-dev
build="${INKMASK_BENCH_BUILD_DIR:-$root/build-bench}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_batch inkmask-batch
exec "$build/bench/bench_batch" "$@"
