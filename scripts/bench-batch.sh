#!/usr/bin/env bash
# Benchmarks inkmask-batch against the same job done with Leptonica and with
# OpenCV, in one run.
#
# End to end: 20 synthetic A4 pages at 300 dpi (2480 x 3508) as PNG, JPEG and
# TIFF; each set goes through inkmask-batch, bench_leptonica_job and
# bench/opencv_job.py (read, nb, bouchtrou, affine, write the painted picture
# and the mask as PNG) with -j 1 and -j 2, the programs taking turns, 3
# rounds, median time. The programs' outputs are checked equal, pixel for
# pixel, on the pages and on pictures of random ink, before the figures count.
# Then the kernels on a 7000 x 5000 sample against the same chain written with
# Leptonica and with OpenCV, and the picture read once as the floor
# (build/bench/bench_batch --kernels).
#
# Installs what is missing (Leptonica, OpenCV for C++ and for Debian's python3),
# builds in Release, runs. --quick: 4 pages, one round, a smaller sample.
#   scripts/bench-batch.sh [--quick]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"

pages=20
rounds=3
quick=()
if [ "${1:-}" = --quick ]; then
    pages=4
    rounds=1
    quick=(--quick)
fi

inkmask_ensure_packages "${INKMASK_PACKAGES[@]}" libleptonica-dev libopencv-dev python3-opencv time
build="${INKMASK_BENCH_BUILD_DIR:-$root/build-bench}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_batch bench_leptonica_job \
    inkmask-batch inkmask-samplegen

batch="$build/batch/inkmask-batch"
leptonica="$build/bench/bench_leptonica_job"
samplegen="$build/tools/samplegen/inkmask-samplegen"
# Debian's interpreter, which python3-opencv serves, whatever else is on PATH.
python=/usr/bin/python3
job="$root/bench/opencv_job.py"

work=$(mktemp -d "${TMPDIR:-/tmp}/inkmask-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "Load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
echo "Making $pages pages of 2480 x 3508 as PNG, JPEG and TIFF..."
mkdir -p "$work/png" "$work/jpg" "$work/tif" "$work/tif-in" "$work/noise"
for i in $(seq -w 1 "$pages"); do
    for format in png jpg tif; do
        "$samplegen" --size 2480x3508 --seed "$i" "$work/$format/page-$i.$format"
    done
    # inkmask-batch keeps TIFF for the outputs of a TIFF input; named without
    # an extension (the reader goes by content), its outputs are PNG as well.
    ln -s "../tif/page-$i.tif" "$work/tif-in/page-$i"
done
cat "$work"/png/* "$work"/jpg/* "$work"/tif/* >/dev/null # into the page cache

# Pictures of random ink, where every template matches many times: a fault
# in either program's rules shows there when the pages happen to miss it.
"$python" - "$work/noise" <<'EOF'
import sys
import cv2
import numpy as np
r = np.random.default_rng(15)
for i, black in enumerate((0.5, 0.75, 0.9)):
    ink = r.random((389, 517)) < black
    cv2.imwrite(f"{sys.argv[1]}/noise-{i}.png", np.where(ink, 0, 255).astype(np.uint8))
EOF

inputs() {
    case $1 in
        png) echo "$work"/png/* ;;
        jpg) echo "$work"/jpg/* ;;
        tif) echo "$work"/tif-in/* ;;
        noise) echo "$work"/noise/* ;;
    esac
}

# run TOOL FORMAT JOBS: writes into $work/out-TOOL, appends "TOOL FORMAT JOBS
# MS PEAK_KB" to $work/times.
run() {
    local tool=$1 format=$2 jobs=$3 out="$work/out-$1"
    rm -rf "$out"
    mkdir -p "$out/pictures" "$out/masks"
    local command=()
    if [ "$tool" = inkmask ]; then
        command=("$batch" -j "$jobs" --quiet --steps nb,bouchtrou,affine --output-dir "$out/pictures" --mask-dir "$out/masks")
    elif [ "$tool" = leptonica ]; then
        command=("$leptonica" -j "$jobs" --output-dir "$out/pictures" --mask-dir "$out/masks")
    else
        command=("$python" "$job" -j "$jobs" --output-dir "$out/pictures" --mask-dir "$out/masks")
    fi
    local start end
    start=$(date +%s%N)
    # shellcheck disable=SC2046
    /usr/bin/time -f %M -o "$work/peak" "${command[@]}" $(inputs "$format")
    end=$(date +%s%N)
    echo "$tool $format $jobs $(((end - start) / 1000)) $(cat "$work/peak")" >>"$work/times"
}

# same FORMAT: the programs' last outputs hold the same pixels.
same() {
    local what other
    for other in opencv leptonica; do
        for what in pictures masks; do
            if ! "$python" "$job" --compare "$work/out-inkmask/$what" "$work/out-$other/$what"; then
                echo "bench-batch: inkmask-batch and the $other job differ on the $1 $what" >&2
                exit 1
            fi
        done
    done
}

# bytes TOOL/WHAT: the size of the files in that output folder.
bytes() {
    find "$work/out-$1" -type f -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }'
}

for format in noise png jpg tif; do
    run inkmask "$format" 1
    run opencv "$format" 1
    run leptonica "$format" 1
    same "$format"
done
: >"$work/times"
echo "Outputs checked equal, pixel for pixel, on pictures of random ink and on the pages."

echo "Running: $rounds rounds of inkmask-batch, the Leptonica job and the OpenCV script in turn..."
for _ in $(seq "$rounds"); do
    for format in png jpg tif; do
        for jobs in 1 2; do
            run inkmask "$format" "$jobs"
            run opencv "$format" "$jobs"
            run leptonica "$format" "$jobs"
            echo "$format $(bytes inkmask/pictures) $(bytes inkmask/masks)" \
                "$(bytes opencv/pictures) $(bytes opencv/masks)" >>"$work/sizes"
        done
    done
done
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

"$python" - "$work/times" "$work/sizes" "$pages" "$rounds" <<'EOF'
import statistics
import sys

times, sizes, pages, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
runs = {}
peaks = {}
for line in open(times):
    tool, fmt, jobs, us, peak = line.split()
    runs.setdefault((tool, fmt, int(jobs)), []).append(int(us) / 1000)
    peaks[(tool, fmt, int(jobs))] = max(peaks.get((tool, fmt, int(jobs)), 0), int(peak))
size = {}
for line in open(sizes):
    fmt, *values = line.split()
    size[fmt] = [int(v) / pages / 1e6 for v in values]

names = {"png": "PNG", "jpg": "JPEG", "tif": "TIFF"}
print(f"\nEnd to end: {pages} A4 pages (2480 x 3508), read, nb,bouchtrou,affine, painted "
      f"picture and mask written as PNG; median of {rounds} rounds, files per second "
      f"(ms per page):")
print(f"  {'input':6} {'-j':>3} {'inkmask-batch':>22} {'Leptonica job':>22} {'ratio':>8} "
      f"{'OpenCV script':>22} {'ratio':>8}")
for fmt in ("png", "jpg", "tif"):
    for jobs in (1, 2):
        ours = statistics.median(runs[("inkmask", fmt, jobs)])
        lept = statistics.median(runs[("leptonica", fmt, jobs)])
        theirs = statistics.median(runs[("opencv", fmt, jobs)])
        print(f"  {names[fmt]:6} {jobs:>3} "
              f"{pages * 1000 / ours:>9.2f} ({ours / pages:6.0f} ms) "
              f"{pages * 1000 / lept:>9.2f} ({lept / pages:6.0f} ms) "
              f"{lept / ours:>6.2f} x "
              f"{pages * 1000 / theirs:>9.2f} ({theirs / pages:6.0f} ms) "
              f"{theirs / ours:>6.2f} x")
print("  (ratio: inkmask-batch's files per second over the other's)")
print("\nOutputs per page, MB (picture + mask), and peak memory with -j 1:")
print(f"  {'input':6} {'inkmask-batch':>24} {'OpenCV script':>24} {'peak ours':>10} "
      f"{'peak script':>12} {'peak Leptonica':>15}")
for fmt in ("png", "jpg", "tif"):
    p, m, cp, cm = size[fmt]
    print(f"  {names[fmt]:6} {p:>8.2f} + {m:5.3f} = {p + m:5.2f} {cp:>8.2f} + {cm:5.3f} = "
          f"{cp + cm:5.2f} {peaks[('inkmask', fmt, 1)] / 1024:>7.0f} MB "
          f"{peaks[('opencv', fmt, 1)] / 1024:>9.0f} MB "
          f"{peaks[('leptonica', fmt, 1)] / 1024:>12.0f} MB")
EOF

echo
"$build/bench/bench_batch" --kernels "${quick[@]}"
