#pragma once

#include <QImage>
#include <QtGlobal>

namespace ink {

// Builds a synthetic colour "scan" of a floor plan for trying out and
// benchmarking the mask pipeline.
//
// The result is a Format_RGB32 image of the requested size. The paper is
// off-white and slightly noisy (every channel stays well above 180, creases
// and faint pencil marks included); the ink is dark blue, red, green and
// near-black (every channel at most 150), so the default 180,180,180
// thresholds separate the two cleanly. The drawing contains walls 3-6 px
// thick, thinner axis-aligned lines, diagonal hatching, circles and door
// arcs, and the scan defects the clean-up passes are meant to repair:
// pinholes inside thick strokes, one-pixel notches on the sides of vertical
// strokes, two-pixel-high cracks across vertical strokes at least 3 px wide,
// isolated one-pixel dots and one-pixel-wide spurs.
//
// The amount of drawing scales with the image area. The output depends only
// on the arguments (integer arithmetic and a private PRNG throughout), so a
// seed reproduces the same image on every platform. Returns a null image if
// either dimension is not positive or the image cannot be allocated.
QImage makeSampleScan(int width, int height, quint32 seed);

}  // namespace ink
