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

// The paper under the drawing.
enum class SamplePaper {
    Plain,     // as makeSampleScan() draws it
    Shaded,    // lit from one side: the light falls off to about 0.68 of full
               // in the far corner, ink and paper alike, so that the paper
               // there drops below 180 in every channel
    Yellowed,  // aged, yellow-brown paper: the red, green and blue light scaled
               // by 0.72, 0.66 and 0.50, ink and paper alike
};

// A scan and where its ink is.
struct SampleScan {
    QImage scan;   // Format_RGB32
    QImage truth;  // Format_Grayscale8, the size of the scan: 0 ink, 255 paper
};

// The same drawing as makeSampleScan(width, height, seed) on `paper`: the
// Plain scan is that image, pixel for pixel. The truth holds the pixels the
// generator inked (faint pencil marks and creases are paper). Null images
// when the scan cannot be made.
SampleScan makeSampleScan(int width, int height, quint32 seed, SamplePaper paper);

}  // namespace ink
