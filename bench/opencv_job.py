#!/usr/bin/python3
"""inkmask-batch's job written with OpenCV and numpy, as a careful user of them
would write it, for scripts/bench-batch.sh to time against the program in the
same run.

    opencv_job.py [-j N] --output-dir DIR --mask-dir DIR INPUT...
    opencv_job.py --compare DIR_A DIR_B

For each input: read it (cv2.imread), NB with the thresholds 180,180,180,
bouchtrou and affine with the program's cells, ranges and rules, then write
the painted picture and the mask (black = ink) as PNG with cv2.imwrite's
defaults, named after the input as inkmask-batch names them (page.jpg gives
page.png). -j N does N files at a time in worker processes.

The mask is a (W + 1) x (H + 1) plane of bytes, 255 for black, cell (x, y) at
[y, x]. NB writes inRange's result into it (columns 1..W, rows 2..H; the
cells past the picture are no pixel, (0, 0, 0), so black). The templates and
the support test are ANDs and ORs of shifted views of the plane, the products
several templates share made once. Both clean-up passes decide on the mask as
it stood before the pass, so their changes are worked out first and applied
after. Pixels outside the passes' reach (column 0, rows 0 and 1) keep their
colours in the painted picture. The pages the benchmark makes are opaque
8-bit RGB, which is all this reads the program's way.

--compare decodes the pictures and masks of two output folders and says
whether their pixels are equal, file by file; status 1 when any differs.
"""

import argparse
import os
import sys
from multiprocessing import Pool

import cv2
import numpy as np

RED, GREEN, BLUE = 180, 180, 180


def shifted(plane, rows, cols, dx=0, dy=0):
    """The cells (x + dx, y + dy) of plane for y in rows and x in cols."""
    return plane[rows.start + dy:rows.stop + dy, cols.start + dx:cols.stop + dx]


def nb(picture):
    h, w = picture.shape[:2]
    mask = np.zeros((h + 1, w + 1), np.uint8)
    mask[2:h, 1:w] = cv2.inRange(picture[2:h, 1:w], (0, 0, 0), (BLUE, GREEN, RED))
    mask[2:, w] = 255
    mask[h, 1:] = 255
    return mask


def bouchtrou(mask):
    """Tests the pixels 3..W-4 x 3..H-4; a gap also fills the row below it."""
    h, w = mask.shape[0] - 1, mask.shape[1] - 1
    t, x = slice(3, h - 3), slice(3, w - 3)
    wide = slice(2, w - 2)
    white = ~mask

    def m(dx, dy, cols=x):
        return shifted(mask, t, cols, dx, dy)

    def n(dx, dy, cols=x):
        return shifted(white, t, cols, dx, dy)

    # SingleHole, LeftNotch and RightNotch: white here, black above and below.
    base = n(0, 0) & m(0, -1)
    base &= m(0, 1)
    # SingleHole: black left and right.
    fill = m(-1, 0) & m(1, 0)
    # The notches: three white cells in a column on one side, three black on
    # the other, black two above and two below.
    black_run = m(0, -1, wide) & m(0, 0, wide)
    black_run &= m(0, 1, wide)
    white_run = n(0, -1, wide) & n(0, 0, wide)
    white_run &= n(0, 1, wide)
    sides = white_run[:, :-2] & black_run[:, 2:]
    sides |= black_run[:, :-2] & white_run[:, 2:]
    sides &= m(0, -2)
    sides &= m(0, 2)
    fill |= sides
    fill &= base
    # VerticalGap: (x, y) and (x, y + 1) white, three black in a row at
    # y - 2, y - 1, y + 2 and y + 3; it fills both white cells.
    row3 = mask[1:h, 2:w - 4] & mask[1:h, 3:w - 3]
    row3 &= mask[1:h, 4:w - 2]  # row y of the mask is row3[y - 1]
    gap = n(0, 0) & n(0, 1)
    for dy in (-2, -1, 2, 3):
        gap &= row3[2 + dy:h - 4 + dy]
    fill |= gap
    mask[t, x] |= fill
    mask[4:h - 2, x] |= gap


def affine(mask):
    """Tests the pixels 3..W-2 x 3..H-2: a black pixel stays with ink in
    (x, y-2..y-1) or (x, y+1..y+2), and in (x-2..x-1, y) or (x+1..x+2, y)."""
    h, w = mask.shape[0] - 1, mask.shape[1] - 1
    t, x = slice(3, h - 1), slice(3, w - 1)
    pairs = mask[1:h, x] | mask[2:h + 1, x]  # row y of the mask is pairs[y - 1]
    support = pairs[0:h - 4] | pairs[3:h - 1]
    row_pairs = mask[t, 1:w] | mask[t, 2:w + 1]  # column x is row_pairs[:, x - 1]
    row_support = row_pairs[:, 0:w - 4] | row_pairs[:, 3:w - 1]
    support &= row_support
    mask[t, x] &= support


def output_name(folder, path):
    return os.path.join(folder, os.path.splitext(os.path.basename(path))[0] + ".png")


def job(task):
    path, output_dir, mask_dir = task
    picture = cv2.imread(path, cv2.IMREAD_COLOR)
    if picture is None:
        return f"{path}: cannot read it"
    h, w = picture.shape[:2]
    mask = nb(picture)
    bouchtrou(mask)
    affine(mask)
    # NB painted columns 1..W-1 and rows 2..H-1 of the picture; the mask
    # holds their last colour. The mask picture is black where there is ink.
    picture[2:h, 1:w] = (~mask[2:h, 1:w])[:, :, np.newaxis]
    if not cv2.imwrite(output_name(output_dir, path), picture):
        return f"{path}: cannot write its picture"
    if not cv2.imwrite(output_name(mask_dir, path), np.ascontiguousarray(~mask[:h, :w])):
        return f"{path}: cannot write its mask"
    return None


def run(args):
    os.makedirs(args.output_dir, exist_ok=True)
    os.makedirs(args.mask_dir, exist_ok=True)
    tasks = [(path, args.output_dir, args.mask_dir) for path in args.inputs]
    if args.jobs > 1:
        with Pool(args.jobs) as pool:
            problems = list(pool.imap_unordered(job, tasks, chunksize=1))
    else:
        problems = [job(task) for task in tasks]
    problems = [p for p in problems if p]
    for p in problems:
        print(f"opencv_job: {p}", file=sys.stderr)
    return 1 if problems else 0


def compare(a, b):
    """Status 0 when both folders hold the same names with equal pixels."""
    names = sorted(set(os.listdir(a)) | set(os.listdir(b)))
    differ = 0
    for name in names:
        first = cv2.imread(os.path.join(a, name), cv2.IMREAD_UNCHANGED)
        second = cv2.imread(os.path.join(b, name), cv2.IMREAD_UNCHANGED)
        if first is None or second is None:
            print(f"{name}: only in {a if second is None else b} or unreadable", file=sys.stderr)
            differ += 1
            continue
        # A 1-bit or palette PNG and an 8-bit grey one decode alike; colour
        # pictures are compared as colour.
        if first.ndim != second.ndim:
            first = cv2.imread(os.path.join(a, name), cv2.IMREAD_COLOR)
            second = cv2.imread(os.path.join(b, name), cv2.IMREAD_COLOR)
        if first.shape != second.shape:
            print(f"{name}: {first.shape} against {second.shape}", file=sys.stderr)
            differ += 1
        elif (count := int(np.count_nonzero(first != second))) != 0:
            print(f"{name}: {count} values differ", file=sys.stderr)
            differ += 1
    return 1 if differ else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-j", "--jobs", type=int, default=1)
    parser.add_argument("--output-dir")
    parser.add_argument("--mask-dir")
    parser.add_argument("--compare", nargs=2, metavar="DIR")
    parser.add_argument("inputs", nargs="*")
    args = parser.parse_args()
    if args.compare:
        return compare(*args.compare)
    if not (args.output_dir and args.mask_dir and args.inputs):
        parser.error("--output-dir, --mask-dir and inputs are needed")
    cv2.setNumThreads(1)  # one file a process: -j decides the parallelism
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
