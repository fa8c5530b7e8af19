#pragma once

#include "core/ops/paper.h"
#include "core/ops/threshold.h"

#include <QImage>

#include <array>
#include <cstdint>

namespace ink {

// How many pixels of a picture have each value, 0..255, in one channel.
using ChannelHistogram = std::array<std::uint64_t, 256>;

// The red, green and blue histograms of a picture, its channels as NB reads
// them (the picture as 32-bit RGB).
struct ChannelHistograms {
    ChannelHistogram red{};
    ChannelHistogram green{};
    ChannelHistogram blue{};
    std::uint64_t pixels = 0;

    bool operator==(const ChannelHistograms &) const = default;
};

// One walk over the picture's rows. Other formats than 32-bit RGB are
// converted a band of rows at a time, as the picture area would convert them
// whole. A null picture gives empty histograms.
ChannelHistograms channelHistograms(const QImage &picture);

// Otsu's threshold of one channel: the value t that best splits the pixels
// into a dark class (values <= t) and a light class (values > t), best
// meaning the largest between-class variance w0 * w1 * (m0 - m1)^2. The
// split matches NB's rule, under which a channel equal to its threshold is
// ink, so t is the box value that puts the dark class on the ink side.
//
// Between two modes with empty values in between every t across the gap
// splits the same way; the middle of the gap is taken (rounded down), so the
// number sits as far from both modes as it can. A histogram with fewer than
// two distinct values has no split: the middle of the range, 127.
int otsuThreshold(const ChannelHistogram &histogram);

// The box value for one channel: Otsu's split, then moved to the emptiest
// place between it and the light class's mean. In a scan the dark class mixes
// inks: black weighs its mean down while coloured ink lies between, so
// Otsu's t lands in the coloured ink and drops it to paper. From t towards
// the paper's mean, the value whose neighbourhood (two values either side)
// holds the fewest pixels is the foot of the paper's mode; the run of values
// as empty around it, kept between the two classes' means, is taken, and its
// middle (rounded down) is the threshold. With no emptier place than t's the
// run around t is taken, so a clean gap between ink and paper still gives
// its middle. Fewer than two distinct values: 127.
int channelThreshold(const ChannelHistogram &histogram);

// The foot of the paper's values in one channel: the paper's mode (the
// fullest value, five values averaged) less three times the spread of the
// values above it, which ink does not reach. -1 for an empty histogram.
int paperFoot(const ChannelHistogram &histogram);

// The three box values, one per channel by channelThreshold().
Thresholds channelThresholds(const ChannelHistograms &histograms);

// --thresholds auto and Ctrl+T: channelThresholds(), then each channel raised
// to the foot of its paper where that keeps a coloured ink. channelThreshold
// splits a channel between black ink and the rest, so in a red ink's red
// channel (as bright as the paper, nearly) the split falls between black and
// red and the red ink turns white. A channel is raised to paperFoot() when
// the pixels that this adds, dark in the other two channels already, are
// more than 5 % of the pixels that were black (a second ink, not the edges
// of the first) and at most half of them (not a stain or a shadow that
// fills the page). The raises are tried again after each raise, as a red ink
// that the red channel keeps may need the green channel's too.
//
// With `paper`, every channel is first evened against it as local NB does,
// so the numbers found are those local NB compares.
Thresholds automaticThresholds(const QImage &picture, const PaperEstimate *paper = nullptr);

// The box values that make the picked pixel `rgb` (0xRRGGBB) the last one
// on one side of NB's rule. As paper: each channel less one (at least 0), so
// the pixel turns white and anything darker in every channel black. As ink:
// each channel itself, so the pixel stays black (white only when a channel
// exceeds its box).
Thresholds paperPickThresholds(quint32 rgb);
Thresholds inkPickThresholds(quint32 rgb);

}  // namespace ink
