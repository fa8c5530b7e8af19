#include "core/ops/autothreshold.h"

#include <algorithm>
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

Thresholds automaticThresholds(const ChannelHistograms &histograms) {
    return {double(channelThreshold(histograms.red)), double(channelThreshold(histograms.green)),
            double(channelThreshold(histograms.blue))};
}

Thresholds automaticThresholds(const QImage &picture) {
    return automaticThresholds(channelHistograms(picture));
}

Thresholds paperPickThresholds(quint32 rgb) {
    const auto below = [](quint32 v) { return double(std::max(0, int(v & 0xFF) - 1)); };
    return {below(rgb >> 16), below(rgb >> 8), below(rgb)};
}

Thresholds inkPickThresholds(quint32 rgb) {
    return {double((rgb >> 16) & 0xFF), double((rgb >> 8) & 0xFF), double(rgb & 0xFF)};
}

}  // namespace ink
