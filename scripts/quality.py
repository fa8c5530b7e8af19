#!/usr/bin/python3
"""Measures the masks of inkmask-batch command lines against each other and
against grey Otsu and Sauvola, in one run. scripts/bench-quality.sh installs
what this needs, finds the tool and runs it:

    quality.py --batch TOOL [-j N] [--line "OPTIONS"]... [--tsv FILE]
               [--keep DIR] [DIR...]

Map of this file:
  lines          Line: one set of inkmask-batch options; the "NB alone" line
                 of a line with clean-up steps, for the share of ink it keeps
  known answers  clean_page(), print_page(), CASES: pages drawn here, then
                 printed onto tinted paper with one kind of trouble each
  inputs         Input: one picture with its kind (known, dibco, plain)
  running        run_line(): one inkmask-batch call per line over the inputs
  baselines      otsu(), sauvola(), despeckle(): the 4-pixel blob filter
  measures       known_measures(), dibco_measures(), plain_measures(), and
                 score(), which a worker runs on one input
  tables         print_tables(), write_tsv()
"""

import argparse
import glob
import json
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from multiprocessing import Pool

import cv2
import numpy as np
from PIL import Image
from scipy import ndimage as ndi
from skimage.filters import threshold_otsu, threshold_sauvola
from skimage.morphology import thin

Image.MAX_IMAGE_PIXELS = None

DEFAULT_LINES = [
    "--thresholds auto --steps nb",
    "--thresholds auto --steps nb,bouchtrou",
    "--thresholds auto --steps nb,bouchtrou,affine",
    "--thresholds auto --local --steps nb,bouchtrou,taches",
]
IMAGE_EXTENSIONS = (".png", ".jpg", ".jpeg", ".tif", ".tiff", ".bmp", ".gif", ".webp", ".pbm",
                    ".pgm", ".ppm", ".pnm")
BLOB = 4  # the blob filter's and the blob count's largest blob, in pixels

# ---------------------------------------------------------------- lines


class Line:
    """One set of inkmask-batch options, run once over the inputs."""

    def __init__(self, label, options):
        self.label = label
        self.options = options
        self.words = shlex.split(options)
        self.refused = None  # the tool's message when it refuses the options
        self.failed = {}  # input name -> the tool's error for that file

    def steps(self):
        """The steps the line runs, the tool's default when it names none."""
        steps, words = [], self.words
        for i, word in enumerate(words):
            if word == "--steps" and i + 1 < len(words):
                steps += words[i + 1].split(",")
            elif word.startswith("--steps="):
                steps += word[len("--steps="):].split(",")
        return steps or ["nb", "bouchtrou", "affine"]

    def cleans_up(self):
        return any(step != "nb" for step in self.steps())

    def nb_alone(self):
        """The same options with NB as the only step (and no despeckle size)."""
        kept, skip = [], False
        for word in self.words:
            if skip:
                skip = False
            elif word in ("--steps", "--speck"):
                skip = True
            elif not word.startswith(("--steps=", "--speck=")):
                kept.append(word)
        return shlex.join(kept + ["--steps", "nb"])


# ---------------------------------------------------------------- known answers

# Each case: the paper's light, the noise's standard deviation, whether specks
# and pinholes are added, and the JPEG quality (None: written as PNG).
CASES = {
    "tinted paper": dict(light="flat", noise=4, dirt=False, jpeg=None),
    "mild shading": dict(light="shading", noise=4, dirt=False, jpeg=None),
    "gutter shadow": dict(light="gutter", noise=4, dirt=False, jpeg=None),
    "specks, pinholes": dict(light="flat", noise=4, dirt=True, jpeg=None),
    "noise, JPEG": dict(light="shading", noise=10, dirt=False, jpeg=60),
}
PAGES = (1, 2)  # seeds: each case on each page
PAGE_SIZE = (1500, 2000)  # rows, columns: about 300 dpi
PAPERS = ((236, 226, 198), (224, 228, 232), (240, 232, 214))  # RGB
FONTS = (cv2.FONT_HERSHEY_SIMPLEX, cv2.FONT_HERSHEY_DUPLEX, cv2.FONT_HERSHEY_COMPLEX,
         cv2.FONT_HERSHEY_TRIPLEX)
LETTERS = "eeeeettttaaaoooiiinnnssshhrrdlcumwfgypbvkjxqz"


def words(rng, count):
    text = []
    for _ in range(count):
        word = "".join(rng.choice(list(LETTERS), rng.integers(1, 10)))
        if rng.random() < 0.2:
            word += rng.choice(list(".,;:"))
        text.append(word.capitalize() if rng.random() < 0.1 else word)
    return " ".join(text)


def clean_page(seed):
    """A 1-bit page, True = ink: text in strokes of 2-4 px with its dots and
    commas, a table ruled in 1 px, thick rules and a solid block, hatching
    and a drawing in lines of 1-3 px. Ink reaches the left margin, where the
    gutter shadow falls."""
    rng = np.random.default_rng(seed)
    h, w = PAGE_SIZE
    page = np.zeros((h, w), np.uint8)

    def text(s, x, y, font, scale, thickness):
        cv2.putText(page, s, (x, y), font, scale, 255, thickness, cv2.LINE_8)

    text(words(rng, 4).title(), 90, 120, cv2.FONT_HERSHEY_TRIPLEX, 2.2, 5)
    cv2.rectangle(page, (1700, 60), (1890, 150), 255, -1)  # a solid block
    cv2.line(page, (70, 160), (1930, 160), 255, 6)
    y = 230
    while y < 1000:  # the body: a column of text, one font and weight a paragraph
        font, scale = FONTS[rng.integers(len(FONTS))], rng.uniform(1.0, 1.3)
        thickness = int(rng.integers(2, 4))
        for _ in range(int(rng.integers(3, 7))):
            if y >= 1000:
                break
            text(words(rng, int(rng.integers(5, 9))), 80, y, font, scale, thickness)
            y += int(48 * scale)
        y += 30
    x0, y0, cols, rows = 1250, 220, 4, 18  # a table ruled in 1 px, figures in 2 px
    for r in range(rows + 1):
        cv2.line(page, (x0, y0 + 40 * r), (x0 + 160 * cols, y0 + 40 * r), 255, 1)
    for c in range(cols + 1):
        cv2.line(page, (x0 + 160 * c, y0), (x0 + 160 * c, y0 + 40 * rows), 255, 1)
    for r in range(rows):
        for c in range(cols):
            figure = f"{rng.integers(0, 10000)}.{rng.integers(0, 100):02d}"
            text(figure, x0 + 160 * c + 12, y0 + 40 * r + 30, cv2.FONT_HERSHEY_SIMPLEX, 0.8, 2)
    cv2.line(page, (70, 1050), (1930, 1050), 255, 3)
    for i in range(40):  # hatching in 1 px lines, 7 px apart
        cv2.line(page, (100 + 7 * i, 1100), (100 + 7 * i + 120, 1400), 255, 1)
    cv2.rectangle(page, (500, 1100), (900, 1400), 255, 3)
    cv2.circle(page, (700, 1250), 110, 255, 2)
    cv2.line(page, (500, 1100), (900, 1400), 255, 1)
    cv2.line(page, (500, 1400), (900, 1100), 255, 1)
    for i in range(12):  # fine text in 1 px strokes
        text(words(rng, 6), 1000, 1110 + 26 * i, cv2.FONT_HERSHEY_SIMPLEX, 0.6, 1)
    return page > 0


def light_of(kind, h, w):
    x = np.arange(w, dtype=np.float32)[None, :] / w
    y = np.arange(h, dtype=np.float32)[:, None] / h
    if kind == "shading":  # falls off to 0.65 in the far corner
        return 1 - 0.35 * (0.6 * x + 0.4 * y) ** 1.3
    if kind == "gutter":  # a book's gutter on the left: 0.3 at the edge
        return np.broadcast_to((1 - 0.7 * np.exp(-x * w / 110)) * (1 - 0.04 * x), (h, w))
    return np.ones((h, w), np.float32)


def print_page(truth, case, seed):
    """The scan of a clean page: printed in dark ink with soft edges onto
    tinted paper, lit, soiled and noisy as the case says. RGB, uint8."""
    rng = np.random.default_rng(1000 * seed + list(CASES).index(case["name"]))
    h, w = truth.shape
    printed = truth.copy()
    if case["dirt"]:
        # pinholes of 1-4 px with ink at least 2 px thick all round them
        solid = ndi.binary_erosion(truth, np.ones((5, 5), bool))
        ys, xs = np.nonzero(solid)
        for i in rng.choice(len(ys), min(len(ys), 300), replace=False):
            dy, dx = rng.integers(1, 3, 2)
            printed[ys[i]:ys[i] + dy, xs[i]:xs[i] + dx] = False
        # specks of 1-9 px on the paper, at least 4 px from any ink
        clear = ~ndi.binary_dilation(truth, np.ones((9, 9), bool))
        ys, xs = np.nonzero(clear[5:-5, 5:-5])
        for i in rng.choice(len(ys), 800, replace=False):
            dy, dx = rng.integers(1, 4, 2) if rng.random() < 0.3 else rng.integers(1, 3, 2)
            spot = np.s_[ys[i] + 5:ys[i] + 5 + dy, xs[i] + 5:xs[i] + 5 + dx]
            printed[spot] |= clear[spot]
    cover = cv2.GaussianBlur(printed.astype(np.float32), (0, 0), 0.55)[..., None]
    paper = np.array(PAPERS[seed % len(PAPERS)], np.float32)
    ink = np.array((40, 34, 52), np.float32) + rng.integers(-8, 9, 3)
    mottle = cv2.GaussianBlur(rng.normal(0, 1, (h, w)).astype(np.float32), (0, 0), 25)
    mottle *= 0.015 / max(float(np.abs(mottle).max()), 1e-6)
    scan = (paper * (1 - cover) + ink * cover) * (light_of(case["light"], h, w) + mottle)[..., None]
    scan += rng.normal(0, case["noise"], scan.shape)
    return np.clip(scan + 0.5, 0, 255).astype(np.uint8)


def make_known(job):
    """Writes one known-answer scan and its truth; returns the Input."""
    name, seed, folder = job
    case = dict(CASES[name], name=name)
    truth = clean_page(seed)
    scan = print_page(truth, case, seed)
    stem = f"{name.replace(', ', '-').replace(' ', '-')}-{seed}"
    path = os.path.join(folder, stem + (".jpg" if case["jpeg"] else ".png"))
    bgr = scan[..., ::-1]
    if case["jpeg"]:
        cv2.imwrite(path, bgr, [cv2.IMWRITE_JPEG_QUALITY, case["jpeg"]])
    else:
        cv2.imwrite(path, bgr)
    truth_path = os.path.join(folder, stem + ".truth.png")
    Image.fromarray(~truth).save(truth_path)
    return Input("known", name, f"page {seed}", path, truth_path)


# ---------------------------------------------------------------- inputs


class Input:
    def __init__(self, kind, group, name, path, truth=None):
        self.kind, self.group, self.name, self.path, self.truth = kind, group, name, path, truth
        self.key = None  # the input's name in the run folder, unique in the run


def folder_inputs(folder):
    """A DIBCO year (img/ and gt/) or a plain folder of pictures."""
    group = os.path.basename(os.path.normpath(folder))
    img, gt = os.path.join(folder, "img"), os.path.join(folder, "gt")
    pictures = lambda d: sorted(f for f in os.listdir(d) if f.lower().endswith(IMAGE_EXTENSIONS))
    if os.path.isdir(img) and os.path.isdir(gt):
        found = []
        for name in pictures(img):
            stem = os.path.splitext(name)[0]
            truth = os.path.join(gt, stem + ".png")
            if os.path.exists(truth):
                found.append(Input("dibco", group, stem, os.path.join(img, name), truth))
            else:
                print(f"bench-quality: {os.path.join(img, name)}: no {truth}, left out",
                      file=sys.stderr)
        return found
    return [Input("plain", group, name, os.path.join(folder, name)) for name in pictures(folder)]


def read_grey(path):
    return np.asarray(Image.open(path).convert("L"))


def read_ink(path):
    """A mask or a ground truth as True = ink (black)."""
    return read_grey(path) < 128


# ---------------------------------------------------------------- running


def run_line(tool, line, inputs, run_dir, jobs):
    """Runs the line over the inputs' links in run_dir/in; the masks land in
    run_dir/LABEL. Records a refusal of the options, or each file's failure."""
    out = os.path.join(run_dir, line.label)
    os.makedirs(out, exist_ok=True)
    report = os.path.join(run_dir, line.label + ".jsonl")
    listing = os.path.join(run_dir, line.label + ".list")
    with open(listing, "w") as f:
        f.writelines(os.path.join(run_dir, "in", i.key) + "\n" for i in inputs)
    command = [tool, *line.words, "--quiet", "-j", str(jobs), "--mask-dir", out,
               "--report", report, "--files-from", listing]
    run = subprocess.run(command, capture_output=True, text=True)
    if run.returncode == 2:
        message = next((l for l in run.stderr.splitlines() if l.strip()), "status 2")
        line.refused = message.removeprefix("inkmask-batch: ")
        return
    done, by_key = set(), {i.key: i for i in inputs}
    if os.path.exists(report):
        for entry in map(json.loads, open(report)):
            key = os.path.basename(entry["input"])
            if entry["status"] == "done":
                done.add(key)
            else:  # named as the user knows the file, not by its link here
                error = entry["error"] or entry["status"]
                line.failed[key] = error.replace(entry["input"], by_key[key].path)
    for i in inputs:
        if i.key not in done and i.key not in line.failed:
            line.failed[i.key] = (f"no report (status {run.returncode}: "
                                  f"{run.stderr.strip()[-200:]})")


def mask_of(run_dir, line, key):
    return os.path.join(run_dir, line.label, os.path.splitext(key)[0] + ".png")


# ---------------------------------------------------------------- baselines


def otsu(grey):
    # On floats, as the DIBCO scorer does (256 bins over the picture's own
    # range), so that its figures and ours agree.
    g = grey.astype(np.float64)
    return g <= threshold_otsu(g)


def sauvola_window(shape):
    return max(3, round(min(shape) / 25) | 1)


def sauvola(grey, window):
    g = grey / 255.0
    return g <= threshold_sauvola(g, window_size=window, k=0.2)


EIGHT = np.ones((3, 3), bool)
FOUR = ndi.generate_binary_structure(2, 1)


def small_parts(mask, structure, most=BLOB):
    """The pixels of mask in connected parts of at most `most` pixels, and
    how many such parts there are."""
    labels, count = ndi.label(mask, structure)
    sizes = np.bincount(labels.ravel())
    small = sizes <= most
    small[0] = False
    return small[labels], int(small.sum())


def despeckle(ink):
    """Removes black 8-connected blobs and fills white 4-connected holes of
    up to 4 pixels."""
    ink = ink & ~small_parts(ink, EIGHT)[0]
    return ink | small_parts(~ink, FOUR)[0]


# ---------------------------------------------------------------- measures


def known_measures(truth, ink):
    wrong = truth != ink
    return {"wrong %": 100 * wrong.mean(),
            "lost ink %": 100 * (truth & ~ink).sum() / truth.sum(),
            "extra black %": 100 * (~truth & ink).sum() / (~truth).sum()}


def drd(gt, b):
    """Distance-reciprocal distortion, as the contest defines it."""
    yy, xx = np.mgrid[-2:3, -2:3]
    d = np.hypot(yy, xx)
    weights = np.where(d > 0, 1 / np.where(d > 0, d, 1), 0)
    weights /= weights.sum()
    near_ink = ndi.correlate(gt.astype(np.float64), weights, mode="constant")
    near_all = ndi.correlate(np.ones(gt.shape), weights, mode="constant")
    flip = gt != b
    total = np.where(b[flip], near_all[flip] - near_ink[flip], near_ink[flip]).sum()
    h, w = gt.shape
    blocks = gt[:h // 8 * 8, :w // 8 * 8].reshape(h // 8, 8, w // 8, 8).sum(axis=(1, 3))
    mixed = int(((blocks != 0) & (blocks != 64)).sum())
    return total / mixed if mixed else float("nan")


def dibco_measures(gt, skeleton, b):
    tp, fp, fn = int((gt & b).sum()), int((~gt & b).sum()), int((gt & ~b).sum())
    precision = tp / (tp + fp) if tp + fp else 0.0
    recall = tp / (tp + fn) if tp + fn else 0.0
    skeleton_recall = (skeleton & b).sum() / skeleton.sum() if skeleton.sum() else 0.0
    f = lambda p, r: 200 * p * r / (p + r) if p + r else 0.0
    flips = fp + fn
    return {"FM": f(precision, recall), "pFM": f(precision, skeleton_recall),
            "PSNR": 10 * np.log10(gt.size / flips) if flips else 99.0, "DRD": drd(gt, b)}


def plain_measures(ink, nb, sauvola_ink):
    return {"ink %": 100 * ink.mean(),
            f"blobs <= {BLOB} px": small_parts(ink, EIGHT)[1],
            "NB ink kept %": 100 * (ink & nb).sum() / nb.sum() if nb is not None and nb.any()
            else None,
            "black where Sauvola white %": 100 * (ink & ~sauvola_ink).mean()}


MEASURES = {
    "known": ("wrong %", "lost ink %", "extra black %"),
    "dibco": ("FM", "pFM", "PSNR", "DRD"),
    "plain": ("ink %", f"blobs <= {BLOB} px", "NB ink kept %", "black where Sauvola white %"),
}


def score(job):
    """Every method's measures on one input: {method label: {measure: value}},
    a method missing where its line was refused or failed on the file; and
    why the input could not be measured at all, or None."""
    i, lines, nb_lines, run_dir = job
    try:
        grey = read_grey(i.path)
    except OSError as e:
        return {}, f"cannot read it here: {e}"
    window = sauvola_window(grey.shape)
    masks = {"Otsu": otsu(grey), "Sauvola": sauvola(grey, window)}
    if i.kind == "dibco":
        masks["Sauvola w31"] = sauvola(grey, 31)
    masks["Sauvola+4px"] = despeckle(masks["Sauvola"])
    for line in lines:
        if not line.refused and i.key not in line.failed:
            ink = read_ink(mask_of(run_dir, line, i.key))
            if ink.shape != grey.shape:
                raise SystemExit(f"bench-quality: {line.label} gave a mask of {ink.shape[::-1]} "
                                 f"for {i.path}, of {grey.shape[::-1]}")
            masks[line.label] = ink
    results = {}
    if i.kind == "known":
        truth = read_ink(i.truth)
        for label, ink in masks.items():
            results[label] = known_measures(truth, ink)
    elif i.kind == "dibco":
        gt = read_ink(i.truth)
        skeleton = thin(gt)
        for label, ink in masks.items():
            results[label] = dibco_measures(gt, skeleton, ink)
    else:
        for label, ink in masks.items():
            nb = None
            line = next((l for l in lines if l.label == label), None)
            if line is not None and line.cleans_up():
                source = nb_lines[line.label]
                if not source.refused and i.key not in source.failed:
                    nb = read_ink(mask_of(run_dir, source, i.key))
            results[label] = plain_measures(ink, nb, masks["Sauvola"])
    return results, None


# ---------------------------------------------------------------- tables


def methods_of(kind, lines):
    baselines = ["Otsu", "Sauvola"] + (["Sauvola w31"] if kind == "dibco" else []) + ["Sauvola+4px"]
    return [l.label for l in lines] + baselines


def mean(values):
    values = [v for v in values if v is not None and not np.isnan(v)]
    return float(np.mean(values)) if values else None


def cell(values, measure, refused):
    """The mean of the values; n/a for a refused line, fail when a file failed."""
    if refused:
        return "n/a"
    if any(v is None for v in values) and "kept" not in measure:
        return "fail"
    m = mean(values)
    if m is None:
        return "-"
    return f"{m:.0f}" if measure.startswith("blobs") else f"{m:.2f}"


def print_tables(kind, title, rows, lines):
    """rows: [(row name, [results of each input in the row])]; one table a
    measure, a row per group (or image), a column per method."""
    methods = methods_of(kind, lines)
    refused = {l.label for l in lines if l.refused}
    for measure in MEASURES[kind]:
        if measure == "NB ink kept %":
            shown = [l.label for l in lines if l.cleans_up()]
        elif measure.startswith("black where Sauvola"):
            shown = [m for m in methods if not m.startswith("Sauvola")]
        else:
            shown = methods
        if not shown:  # no line with clean-up steps
            continue
        names = [name for name, _ in rows]
        width = max(len(n) for n in names + ["all"]) + 2
        print(f"\n{title}: {measure}")
        print(" " * width + "".join(f"{m:>12}" for m in shown))
        for name, results in rows:
            print(f"{name:<{width}}" + "".join(
                f"{cell([r.get(m, {}).get(measure) for r in results], measure, m in refused):>12}"
                for m in shown))


def write_tsv(path, entries, lines):
    options = {l.label: l.options for l in lines}
    partial = path + ".part"  # renamed into place when whole
    with open(partial, "w") as f:
        f.write("kind\tgroup\timage\tmethod\toptions\tmeasure\tvalue\n")
        for i, results in entries:
            for method, measures in results.items():
                for measure, value in measures.items():
                    if value is not None:
                        f.write(f"{i.kind}\t{i.group}\t{i.name}\t{method}\t"
                                f"{options.get(method, '')}\t{measure}\t{value:.4f}\n")
    os.replace(partial, path)


# ---------------------------------------------------------------- main


def default_folders():
    here = os.path.dirname(os.path.abspath(__file__))
    for shared in (os.environ.get("INKMASK_SHARED"), os.path.join(here, "..", "..", "shared"),
                   "/work/shared"):
        if shared and os.path.isdir(shared):
            return sorted(glob.glob(os.path.join(shared, "dibco", "20*"))) + [
                d for d in [os.path.join(shared, "realscans")] if os.path.isdir(d)]
    return []


def main():
    parser = argparse.ArgumentParser(prog="bench-quality.sh", description=__doc__.split("\n\n")[0])
    parser.add_argument("--batch", required=True, help="the inkmask-batch to measure")
    parser.add_argument("--line", action="append", help="inkmask-batch options (may repeat)")
    parser.add_argument("-j", type=int, default=2, help="images done in parallel (default 2)")
    parser.add_argument("--tsv", help="also write one row per image, method and measure")
    parser.add_argument("--keep", help="keep the pages made and the masks in this folder")
    parser.add_argument("folders", nargs="*", metavar="DIR",
                        help="DIBCO years (img/, gt/) or plain folders of pictures")
    args = parser.parse_args()
    if args.j < 1:
        parser.error("-j takes a number of at least 1")
    if args.keep and os.path.exists(args.keep) and os.listdir(args.keep):
        parser.error(f"--keep {args.keep}: not empty; name a new or empty folder")
    for folder in args.folders:
        if not os.path.isdir(folder):
            parser.error(f"{folder}: not a folder")
    run_dir = args.keep or tempfile.mkdtemp(prefix="inkmask-quality.")
    try:
        measure_all(args, run_dir)
    finally:
        if not args.keep:
            shutil.rmtree(run_dir, ignore_errors=True)


def measure_all(args, run_dir):
    start = time.monotonic()
    folders = args.folders or default_folders()
    os.makedirs(os.path.join(run_dir, "in"))
    os.makedirs(os.path.join(run_dir, "known"))

    lines = [Line(f"#{n + 1}", options) for n, options in enumerate(args.line or DEFAULT_LINES)]
    nb_lines = {}  # label of a line with clean-up -> the line of its NB alone
    extra = []
    for line in lines:
        if line.cleans_up():
            options = line.nb_alone()
            same = next((l for l in lines + extra if shlex.split(l.options) == shlex.split(options)),
                        None)
            if same is None:
                same = Line(f"{line.label}-nb", options)
                extra.append(same)
            nb_lines[line.label] = same

    with Pool(args.j) as pool:
        inputs = pool.map(make_known, [(name, seed, os.path.join(run_dir, "known"))
                                       for name in CASES for seed in PAGES])
        for folder in folders:
            inputs += folder_inputs(folder)
        for n, i in enumerate(inputs):  # unique names, so that the masks never clash
            i.key = f"{n:04d}-{os.path.basename(i.path)}"
            os.symlink(os.path.abspath(i.path), os.path.join(run_dir, "in", i.key))
        made = time.monotonic()
        for line in lines:
            run_line(args.batch, line, inputs, run_dir, args.j)
        plain = [i for i in inputs if i.kind == "plain"]
        for line in extra:
            run_line(args.batch, line, plain, run_dir, args.j)
        ran = time.monotonic()
        results = pool.map(score, [(i, lines, nb_lines, run_dir) for i in inputs], chunksize=1)
    unread = [(i, error) for i, (_, error) in zip(inputs, results) if error]
    entries = [(i, r) for i, (r, error) in zip(inputs, results) if not error]

    print(f"inkmask-batch: {args.batch}")
    for line in lines + extra:
        state = f"   n/a: {line.refused}" if line.refused else ""
        print(f"  {line.label:<6} {line.options}{state}")
    print(f"  Sauvola: k = 0.2, window the short side / 25 (odd); Sauvola w31: window 31; "
          f"Sauvola+4px: Sauvola without black blobs and white holes of up to {BLOB} px")

    known = [(i, r) for i, r in entries if i.kind == "known"]
    if known:
        rows = [(name, [r for i, r in known if i.group == name]) for name in CASES]
        rows.append(("all", [r for _, r in known]))
        print_tables("known", f"Known answers ({len(known)} pages of {PAGE_SIZE[1]} x "
                     f"{PAGE_SIZE[0]})", rows, lines)
    dibco = [(i, r) for i, r in entries if i.kind == "dibco"]
    if dibco:
        years = sorted({i.group for i, _ in dibco})
        rows = [(f"{y} ({sum(i.group == y for i, _ in dibco)})",
                 [r for i, r in dibco if i.group == y]) for y in years]
        rows.append((f"all ({len(dibco)})", [r for _, r in dibco]))
        print_tables("dibco", "DIBCO, mean per image", rows, lines)
    for group in dict.fromkeys(i.group for i, _ in entries if i.kind == "plain"):
        mine = [(i, r) for i, r in entries if i.kind == "plain" and i.group == group]
        rows = [(i.name, [r]) for i, r in mine] + [("mean", [r for _, r in mine])]
        print_tables("plain", group, rows, lines)

    failures = [(l, key, error) for l in lines + extra for key, error in l.failed.items()]
    if failures:
        print("\nFailed files:")
        for line, key, error in failures:
            print(f"  {line.label}: {error}")
    if unread:
        print("\nLeft out, not measured:")
        for i, error in unread:
            print(f"  {i.path}: {error}")
    if args.tsv:
        write_tsv(args.tsv, entries, lines)
    end = time.monotonic()
    print(f"\nTime: {end - start:.0f} s ({made - start:.0f} s making the pages, "
          f"{ran - made:.0f} s in inkmask-batch, {end - ran:.0f} s measuring), -j {args.j}")


if __name__ == "__main__":
    main()
