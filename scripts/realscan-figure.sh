#!/usr/bin/env bash
# Makes the README's before-and-after pictures of a real scan: a part of a
# fire-insurance map (a Library of Congress scan without known restrictions)
# through the old default chain and through the line recommended for real
# scans, from the program itself.
#
#   ./scripts/realscan-figure.sh [SCAN]
#
# SCAN defaults to the map in the shared folder of real scans beside the
# checkout. The pictures go to doc/screenshots/realscan-*.png.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"
inkmask_ensure_packages "${INKMASK_PACKAGES[@]}" python3-pil

scan=${1:-$root/../shared/realscans/sanborn-plainfield_1898_2.png}
[ -f "$scan" ] || { echo "realscan-figure: no scan at $scan" >&2; exit 2; }
batch="${INKMASK_BATCH:-$root/build/batch/inkmask-batch}"
[ -x "$batch" ] || inkmask_build "$root/build" --target inkmask-batch >&2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$batch" --quiet --thresholds auto --steps nb,bouchtrou,affine --mask "$work/old.png" "$scan"
"$batch" --quiet --thresholds auto --local --steps nb,bouchtrou,taches --mask "$work/new.png" "$scan"
/usr/bin/python3 - "$scan" "$work" "$root/doc/screenshots" <<'PY'
import sys
from PIL import Image
scan, work, out = sys.argv[1:]
box = (600, 700, 1000, 1000)  # lot lines, numbers, coloured fills
for name, path in (("scan", scan), ("old", f"{work}/old.png"), ("new", f"{work}/new.png")):
    Image.open(path).convert("RGB").crop(box).save(f"{out}/realscan-{name}.png")
PY
echo "realscan-figure: doc/screenshots/realscan-{scan,old,new}.png"
