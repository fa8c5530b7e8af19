#include "core/ops/autothreshold.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace ink {

namespace {

// Pixels counted into 32-bit bins before they are added to the result: well
// below 2^32 even when every pixel of a block has the same value.
constexpr qint64 kBlockPixels = qint64(1) << 30;

// Four bins per value and channel, taken in turn: runs of equal values
// (paper is mostly one tone) then do not wait on the same counter.
struct Bins {
    std::uint32_t counts[4][3][256];

    void clear() { std::fill(&counts[0][0][0], &counts[0][0][0] + 4 * 3 * 256, 0u); }

    void addRow(const QRgb *row, qsizetype width) {
        qsizetype x = 0;
        for (; x + 4 <= width; x += 4) {
            for (int lane = 0; lane < 4; ++lane) {
                const QRgb p = row[x + lane];
                ++counts[lane][0][(p >> 16) & 0xFF];
                ++counts[lane][1][(p >> 8) & 0xFF];
                ++counts[lane][2][p & 0xFF];
            }
        }
        for (; x < width; ++x) {
            const QRgb p = row[x];
            ++counts[0][0][(p >> 16) & 0xFF];
            ++counts[0][1][(p >> 8) & 0xFF];
            ++counts[0][2][p & 0xFF];
        }
    }

    void addTo(ChannelHistograms &h) const {
        ChannelHistogram *channels[3] = {&h.red, &h.green, &h.blue};
        for (int lane = 0; lane < 4; ++lane)
            for (int c = 0; c < 3; ++c)
                for (int v = 0; v < 256; ++v)
                    (*channels[c])[size_t(v)] += counts[lane][c][v];
    }
};

}  // namespace

ChannelHistograms channelHistograms(const QImage &picture) {
    ChannelHistograms result;
    if (picture.isNull())
        return result;
    const qsizetype width = picture.width();
    const int height = picture.height();
    const bool direct = picture.format() == QImage::Format_RGB32;
    // Other formats a band at a time, so that no second whole picture is made.
    const int band = direct ? height : 64;
    const auto owned = std::make_unique<Bins>();  // 12 KB: not on the stack
    Bins &bins = *owned;
    bins.clear();
    qint64 inBins = 0;
    for (int y0 = 0; y0 < height; y0 += band) {
        const int rows = std::min(band, height - y0);
        QImage converted;
        if (!direct)
            converted = picture.copy(0, y0, int(width), rows).convertToFormat(QImage::Format_RGB32);
        const QImage &source = direct ? picture : converted;
        const int first = direct ? y0 : 0;
        for (int y = first; y < first + rows; ++y) {
            if (inBins + width > kBlockPixels) {
                bins.addTo(result);
                bins.clear();
                inBins = 0;
            }
            bins.addRow(reinterpret_cast<const QRgb *>(source.constScanLine(y)), width);
            inBins += width;
        }
    }
    bins.addTo(result);
    result.pixels = std::uint64_t(width) * std::uint64_t(height);
    return result;
}

int otsuThreshold(const ChannelHistogram &histogram) {
    // Class sums as doubles: a count times a value stays exact below 2^53.
    double total = 0;
    double totalSum = 0;
    int levels = 0;
    for (int v = 0; v < 256; ++v) {
        const double n = double(histogram[size_t(v)]);
        total += n;
        totalSum += n * v;
        levels += histogram[size_t(v)] != 0;
    }
    if (levels < 2)
        return 127;
    double darkCount = 0;
    double darkSum = 0;
    double best = -1;
    int first = 0;
    for (int t = 0; t < 255; ++t) {
        darkCount += double(histogram[size_t(t)]);
        darkSum += double(histogram[size_t(t)]) * t;
        const double lightCount = total - darkCount;
        if (darkCount == 0 || lightCount == 0)
            continue;
        // w0 * w1 * (m0 - m1)^2, less the constant 1 / total^2.
        const double diff = darkSum / darkCount - (totalSum - darkSum) / lightCount;
        const double between = darkCount * lightCount * diff * diff;
        if (between > best) {
            best = between;
            first = t;
        }
    }
    // Every t across the empty values after the best one splits the same.
    int last = first;
    while (last + 1 < 255 && histogram[size_t(last + 1)] == 0)
        ++last;
    return (first + last) / 2;
}

int channelThreshold(const ChannelHistogram &histogram) {
    const int t = otsuThreshold(histogram);
    double darkCount = 0, darkSum = 0, lightCount = 0, lightSum = 0;
    for (int v = 0; v < 256; ++v) {
        const double n = double(histogram[size_t(v)]);
        (v <= t ? darkCount : lightCount) += n;
        (v <= t ? darkSum : lightSum) += n * v;
    }
    if (darkCount == 0 || lightCount == 0)
        return t;
    const int darkMean = int(darkSum / darkCount);
    const int lightMean = int(lightSum / lightCount);
    // Pixels within two values of v.
    const auto near = [&](int v) {
        std::uint64_t n = 0;
        for (int u = std::max(0, v - 2); u <= std::min(255, v + 2); ++u)
            n += histogram[size_t(u)];
        return n;
    };
    int at = t;
    std::uint64_t fewest = near(t);
    for (int v = t + 1; v < lightMean; ++v) {
        if (const std::uint64_t n = near(v); n < fewest) {
            fewest = n;
            at = v;
        }
    }
    int first = at;
    int last = at;
    while (first - 1 > darkMean && near(first - 1) == fewest)
        --first;
    while (last + 1 < lightMean && near(last + 1) == fewest)
        ++last;
    return (first + last) / 2;
}

int paperFoot(const ChannelHistogram &histogram) {
    double smoothed[256];
    for (int v = 0; v < 256; ++v) {
        double n = 0;
        for (int u = std::max(0, v - 2); u <= std::min(255, v + 2); ++u)
            n += double(histogram[size_t(u)]);
        smoothed[v] = n;
    }
    const int mode = int(std::max_element(smoothed, smoothed + 256) - smoothed);
    if (smoothed[mode] == 0)
        return -1;
    double above = 0, squares = 0;
    for (int v = mode + 1; v < 256; ++v) {
        above += double(histogram[size_t(v)]);
        squares += double(histogram[size_t(v)]) * double(v - mode) * double(v - mode);
    }
    const double spread = above > 0 ? std::max(1.0, std::sqrt(squares / above)) : 1.0;
    return std::max(0, int(double(mode) - 3 * spread));
}

Thresholds channelThresholds(const ChannelHistograms &histograms) {
    return {double(channelThreshold(histograms.red)), double(channelThreshold(histograms.green)),
            double(channelThreshold(histograms.blue))};
}

namespace {

// Per channel, how many pixels have each value among those whose other two
// channels are within their limits.
std::array<ChannelHistogram, 3> darkElsewhere(const QImage &picture, const int limits[3]) {
    std::array<ChannelHistogram, 3> h{};
    for (int y = 0; y < picture.height(); ++y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(picture.constScanLine(y));
        for (int x = 0; x < picture.width(); ++x) {
            const int v[3] = {qRed(row[x]), qGreen(row[x]), qBlue(row[x])};
            const bool in[3] = {v[0] <= limits[0], v[1] <= limits[1], v[2] <= limits[2]};
            if (in[1] && in[2])
                ++h[0][size_t(v[0])];
            if (in[0] && in[2])
                ++h[1][size_t(v[1])];
            if (in[0] && in[1])
                ++h[2][size_t(v[2])];
        }
    }
    return h;
}

}  // namespace

Thresholds automaticThresholds(const QImage &picture, const PaperEstimate *paper) {
    const QImage values =
        paper ? evenedPicture(picture, *paper) : picture.convertToFormat(QImage::Format_RGB32);
    const ChannelHistograms histograms = channelHistograms(values);
    const Thresholds split = channelThresholds(histograms);
    int limits[3] = {int(split.red), int(split.green), int(split.blue)};
    const int feet[3] = {paperFoot(histograms.red), paperFoot(histograms.green),
                         paperFoot(histograms.blue)};
    std::uint64_t black = 0;
    for (bool raised = true; raised;) {
        raised = false;
        const auto h = darkElsewhere(values, limits);
        if (black == 0) {
            for (int v = 0; v <= limits[0]; ++v)
                black += h[0][size_t(v)];
            if (black == 0)
                break;
        }
        for (int c = 0; c < 3 && !raised; ++c) {
            std::uint64_t added = 0;
            for (int v = limits[c] + 1; v <= feet[c]; ++v)
                added += h[size_t(c)][size_t(v)];
            if (added * 20 > black && added * 2 <= black) {
                limits[c] = feet[c];
                raised = true;
            }
        }
    }
    return {double(limits[0]), double(limits[1]), double(limits[2])};
}

Thresholds paperPickThresholds(quint32 rgb) {
    const auto below = [](quint32 v) { return double(std::max(0, int(v & 0xFF) - 1)); };
    return {below(rgb >> 16), below(rgb >> 8), below(rgb)};
}

Thresholds inkPickThresholds(quint32 rgb) {
    return {double((rgb >> 16) & 0xFF), double((rgb >> 8) & 0xFF), double(rgb & 0xFF)};
}

}  // namespace ink
