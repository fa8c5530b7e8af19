#pragma once

#include "core/image/columnpass.h"

#include <memory>

namespace ink {

struct PaperEstimate;

// A mask more black than this after NB, in percent of the picture, is warned
// of by both programs: thresholds too high for the scan, or a shadow taken
// for ink.
inline constexpr int kMostlyBlackPercent = 40;

struct Thresholds {
    Thresholds() = default;
    Thresholds(double r, double g, double b) : red(r), green(g), blue(b) {}

    double red = 180;
    double green = 180;
    double blue = 180;
    // With the local rule: the paper the channels are evened against before
    // they are compared (see paper.h); null for the plain rule.
    std::shared_ptr<const PaperEstimate> paper;
};

// Where the threshold pass takes its three thresholds from. The window reads
// its boxes (and raises error 13 for a text that is not a number); the batch
// tool hands over fixed values.
class ThresholdSource {
public:
    virtual ~ThresholdSource() = default;
    virtual Thresholds thresholds() = 0;
};

class FixedThresholds : public ThresholdSource {
public:
    explicit FixedThresholds(Thresholds values) : m_values(values) {}
    Thresholds thresholds() override { return m_values; }

private:
    Thresholds m_values;
};

// NB's rule for the pixel at (x, y) whose channels are `rgb`: ink when none
// of them exceeds its threshold, each first evened against the paper there
// when the thresholds carry a paper estimate (the local rule).
bool thresholdInk(RGBTriple rgb, const Thresholds &t, qint32 x, qint32 y);

// NB: turns the colour picture into black and white.
//
// Visits columns 1..W and rows 2..H. A pixel is black when none of its
// channels exceeds its threshold (R <= red, G <= green, B <= blue), white
// otherwise; it is painted pure black or pure white and stored in `WorkMask`
// (True for black). A position outside the drawing surface reads as no pixel,
// which splits into (0, 0, 0). Column 0 and rows 0 and 1 are never visited.
//
// With a paper estimate in the thresholds (the local rule), each channel is
// evened against the paper around the pixel before it is compared; a pixel
// painted pure black or white stays so, as evening keeps 0 and 255.
//
// The thresholds are read once per column, at its first pixel: edits typed in
// while the pass pumps events take effect from the next column, and a column
// with no rows reads nothing.
class ThresholdPass : public ColumnOperation {
public:
    explicit ThresholdPass(ThresholdSource &source) : m_source(source) {}

    // Columns 1..W, rows 2..H; also the range of the packed form.
    static constexpr PassRange kRange{1, 0.0f, 2, 0.0f};
    PassRange range() const override { return kRange; }
    void processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                       qint32 y1) override;

private:
    ThresholdSource &m_source;
};

}  // namespace ink
