#!/usr/bin/env bash
# Measures the masks of inkmask-batch command lines against grey Otsu and
# Sauvola, in one run: on known-answer pages made here (scored as wrong
# pixels against the clean page), on DIBCO years (YEAR/img, YEAR/gt: FM, pFM,
# PSNR, DRD) and on plain folders of scans (ink, small blobs, what the
# clean-up keeps of NB's ink, black where Sauvola sees paper).
#
#   scripts/bench-quality.sh [--line "OPTIONS"]... [-j N] [--tsv FILE]
#                            [--keep DIR] [DIR...]
#
# With no --line, four default lines; with no DIR, the DIBCO years and the
# real scans of the shared folder when it is there. The tool measured is
# $INKMASK_BATCH, or build/batch/inkmask-batch (built when missing). The work
# is done by scripts/quality.py; see there for the measures.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"

inkmask_ensure_packages python3-numpy python3-scipy python3-skimage python3-pil python3-opencv
batch="${INKMASK_BATCH:-$root/build/batch/inkmask-batch}"
if [ ! -x "$batch" ]; then
    if [ -n "${INKMASK_BATCH:-}" ]; then
        echo "bench-quality: INKMASK_BATCH=$INKMASK_BATCH is not an executable" >&2
        exit 2
    fi
    inkmask_ensure_packages "${INKMASK_PACKAGES[@]}"
    inkmask_build "$root/build" --target inkmask-batch >&2
fi
# Debian's interpreter, which the python3-* packages serve, whatever else is on PATH.
exec /usr/bin/python3 "$root/scripts/quality.py" --batch "$batch" "$@"
