// Times inkmask-batch: the program end to end on 20 copies of an A4 page at
// 300 dpi with -j 1 and -j 2 (left out with --kernels); then each pass and
// the chain nb,bouchtrou,affine on a 7000 x 5000 sample scan (a 600 dpi A3
// sheet), file reading and writing excluded, median of several runs, on one thread and with each
// pass's columns in bands on two, against the same chain written with OpenCV
// (when it was found at configure time) on one and on two threads, its masks checked equal to ours
// first, on the sample and on random masks; a difference ends the benchmark with status 1. Prints
// figures; it checks nothing but the equality. Then taches alone, after NB,
// on the 7000 x 5000 sample of seed 1, against OpenCV's connected components
// with their areas, on one thread, checked equal first.
//
//   build/bench/bench_batch [--quick] [--kernels [--tsv]] [--only nb|bouchtrou|affine|chain
//   [--threads N]]
//                          [--form avx512|avx2|sse2|plain]

#include "bench/quietstep.h"
#include "core/files/imagefiles.h"
#include "core/ops/kernels.h"
#include "core/ops/paper.h"
#include "samplegen.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPoint>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <random>
#include <utility>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef INKMASK_WITH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#endif

#ifdef INKMASK_WITH_LEPTONICA
#include "bench/leptonica_chain.h"
#endif

#include <cstdint>
#include <thread>

extern char **environ;

using namespace ink;

namespace {

const Thresholds kThresholds{180, 180, 180};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Median of `runs` timings of `timed`, each after an untimed `setup`.
double medianMs(int runs, const std::function<void()> &setup, const std::function<void()> &timed) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        setup();
        QElapsedTimer t;
        t.start();
        timed();
        times.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    return median(times);
}

QString loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    return QString::fromLatin1(file.readAll()).section(QLatin1Char(' '), 0, 2);
}

void report(const char *what, double ms, double megapixels, const char *note = "") {
    std::printf("  %-34s %8.1f ms %8.0f Mpx/s  %s\n", what, ms, megapixels * 1000.0 / ms, note);
}

void run(KernelModel &model, PackedOperation &&pass, int threads = 1) {
    QuietStep step;
    runColumnPass(model, step, pass, threads);
}

// The chain with each pass's columns in bands on `threads` threads.
void chainOn(KernelModel &m, int threads) {
    run(m, ThresholdKernel(kThresholds), threads);
    run(m, HoleFillKernel(), threads);
    run(m, SpurRemovalKernel(), threads);
}

void nb(KernelModel &m, int threads = 1) {
    run(m, ThresholdKernel(kThresholds), threads);
}
void bouchtrou(KernelModel &m, int threads = 1) {
    run(m, HoleFillKernel(), threads);
}
void affine(KernelModel &m, int threads = 1) {
    run(m, SpurRemovalKernel(), threads);
}
void taches(KernelModel &m, int threads = 1) {
    run(m, DespeckleKernel(kDefaultSpeckSize), threads);
}

// Pictures of pure black and white pixels, black with the given odds, so the
// masks are random and every template matches somewhere.
QImage randomPicture(int w, int h, double black, std::mt19937 &random) {
    QImage image(w, h, QImage::Format_RGB32);
    std::bernoulli_distribution ink(black);
    for (int y = 0; y < h; ++y) {
        auto *row = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < w; ++x)
            row[x] = ink(random) ? qRgb(0, 0, 0) : qRgb(255, 255, 255);
    }
    return image;
}

#ifdef INKMASK_WITH_LEPTONICA
// Runs ours and Leptonica's chain on `scan`, pass after pass, and says where
// they first part; with `picture`, the painted pictures too. Empty when they
// agree.
QString compareLeptonica(const QImage &scan, bool band, bool picture) {
    lepchain::Chain theirs(scan, 180);
    theirs.useBand(band);
    KernelModel ours;
    ours.load(scan);
    const std::pair<const char *, std::function<void()>> steps[] = {
        {"nb", [&] { nb(ours), theirs.threshold(); }},
        {"bouchtrou", [&] { bouchtrou(ours), theirs.holeFill(); }},
        {"affine", [&] { affine(ours), theirs.spurRemoval(); }},
    };
    for (const auto &[name, step] : steps) {
        step();
        qint64 n = 0;
        QPoint first;
        for (int x = 0; x <= ours.Mask.upperX(); ++x)
            for (int y = 0; y <= ours.Mask.upperY(); ++y)
                if (theirs.at(x, y) != ours.Mask.at(x, y) && n++ == 0)
                    first = QPoint(x, y);
        if (n)
            return QStringLiteral("%1 x %2, after %3: %4 cells differ, the first at (%5, %6)")
                .arg(scan.width())
                .arg(scan.height())
                .arg(QLatin1String(name))
                .arg(n)
                .arg(first.x())
                .arg(first.y());
    }
    if (picture && theirs.painted() != ours.picture.image())
        return QStringLiteral("%1 x %2: the painted pictures differ")
            .arg(scan.width())
            .arg(scan.height());
    return {};
}

// Leptonica's chain must give our masks and painted picture before it is
// timed: on the sample, and on random masks of every height from 8 to 72 at
// a few widths, with both forms of NB.
bool leptonicaChainEqual(const QImage &scan) {
    std::mt19937 random(16);
    const double odds[] = {0.5, 0.75, 0.9};
    for (const bool band : {true, false}) {
        QString problem = compareLeptonica(scan, band, true);
        for (const int w : {8, 9, 31, 33, 64, 67, 97}) {
            for (int h = 8; h <= 72 && problem.isEmpty(); ++h)
                problem = compareLeptonica(randomPicture(w, h, odds[(w + h) % 3], random), band,
                                           h % 8 == 0);
        }
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "bench_batch: Leptonica's chain is not ours: %s\n",
                         qPrintable(problem));
            return false;
        }
    }
    return true;
}
#endif

#ifdef INKMASK_WITH_OPENCV
// The chain as a careful OpenCV user would write it, for a fair comparison.
// The mask is a (W + 1) x (H + 1) plane of bytes, 255 for black, with the
// passes' cells and ranges. NB writes inRange's result straight into it
// (columns 1..W, rows 2..H, the cells past the picture black). The templates
// and the support test are ANDs and ORs of shifted views of the plane, the
// products several templates share (three cells black or white in a row or a
// column, two cells with ink) made once. The work goes through
// cv::parallel_for_ in bands of rows small enough for each core's cache, each
// thread with scratch planes of its own, reused from band to band. Both
// clean-up passes decide on the mask as it stood before the pass, so a band
// reads the old plane and writes a new one, swapped in at the end; the bands
// then need no order, and the result is the column-by-column pass's.
namespace cvchain {

constexpr int kBlack = 255;

cv::Range shifted(cv::Range r, int d) {
    return {r.start + d, r.end + d};
}

// Cells of the mask's coordinates held in a plane that may start anywhere.
class Plane {
public:
    Plane() = default;
    explicit Plane(const cv::Mat &whole) : m_cells(whole) {}

    // Makes the plane hold rows x cols, reusing its storage when large enough.
    void cover(cv::Range rows, cv::Range cols) {
        m_top = rows.start;
        m_left = cols.start;
        if (m_cells.rows < rows.size() || m_cells.cols < cols.size())
            m_cells.create(std::max(m_cells.rows, rows.size()), std::max(m_cells.cols, cols.size()),
                           CV_8U);
    }
    // The cells (x + dx, y + dy) for y in rows and x in cols.
    cv::Mat operator()(cv::Range rows, cv::Range cols, int dx = 0, int dy = 0) const {
        return m_cells(shifted(rows, dy - m_top), shifted(cols, dx - m_left));
    }

private:
    cv::Mat m_cells;
    int m_top = 0;
    int m_left = 0;
};

struct Scratch {
    Plane white, fill, base, blackRun, whiteRun, sides, row3, gap;  // hole filling
    Plane pairs, support, rowPairs, rowSupport;                     // support test
};

class Chain {
public:
    // Rows a band of work holds: 16 rows of a 7000-pixel sheet keep a band's
    // scratch planes within a core's cache (8 to 64 measured alike, 4 and 128
    // slower).
    static constexpr int kBandRows = 16;

    explicit Chain(const QImage &scan)
        : m_image(scan.convertToFormat(QImage::Format_RGB32)),
          m_picture(m_image.height(), m_image.width(), CV_8UC4, m_image.bits(),
                    size_t(m_image.bytesPerLine())),
          m_w(scan.width()),
          m_h(scan.height()) {
        Q_ASSERT(m_w >= 8 && m_h >= 8);
        m_mask.create(m_h + 1, m_w + 1, CV_8U);
        m_next.create(m_h + 1, m_w + 1, CV_8U);
        // A pixel is black when each channel is at most its threshold rounded
        // down; laid out as the picture's bytes: blue, green, red, alpha.
        const auto limit = [](double t) { return std::clamp(std::floor(t), -1.0, 255.0); };
        m_upper = cv::Scalar(limit(kThresholds.blue), limit(kThresholds.green),
                             limit(kThresholds.red), 255);
        m_outsideBlack = m_upper[0] >= 0 && m_upper[1] >= 0 && m_upper[2] >= 0;
        reset();
    }

    const cv::Mat &mask() const { return m_mask; }
    void reset() { m_mask.setTo(0); }  // fresh masks, as after loading

    void threshold() {
        const cv::Range cols(1, m_w);
        inBands(cv::Range(2, m_h), [&](cv::Range rows, Scratch &) {
            cv::inRange(m_picture(rows, cols), cv::Scalar::all(0), m_upper, m_mask(rows, cols));
        });
        // Column W and row H lie past the picture: no pixel, (0, 0, 0).
        const int outside = m_outsideBlack ? kBlack : 0;
        m_mask(cv::Range(2, m_h + 1), cv::Range(m_w, m_w + 1)).setTo(outside);
        m_mask(cv::Range(m_h, m_h + 1), cv::Range(1, m_w + 1)).setTo(outside);
    }

    // Pixels 3..W-4 x 3..H-4 are tested; a gap also fills the row below it, so
    // rows 3..H-3 can change.
    void holeFill() {
        const cv::Range cols(3, m_w - 3);
        const cv::Range changing(3, m_h - 2);
        copyRowsOutside(changing);
        inBands(changing, [&](cv::Range rows, Scratch &s) { holeFillBand(rows, cols, s); });
        copyColumnsOutside(changing, cols);
        std::swap(m_mask, m_next);
    }

    // Pixels 3..W-2 x 3..H-2.
    void spurRemoval() {
        const cv::Range cols(3, m_w - 1);
        const cv::Range tested(3, m_h - 1);
        copyRowsOutside(tested);
        inBands(tested, [&](cv::Range rows, Scratch &s) { spurRemovalBand(rows, cols, s); });
        copyColumnsOutside(tested, cols);
        std::swap(m_mask, m_next);
    }

private:
    template <typename Body>
    void inBands(cv::Range rows, const Body &body) {
        const int bands = (rows.size() + kBandRows - 1) / kBandRows;
        cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range &range) {
            thread_local Scratch scratch;
            for (int b = range.start; b < range.end; ++b) {
                const int top = rows.start + b * kBandRows;
                body(cv::Range(top, std::min(top + kBandRows, rows.end)), scratch);
            }
        });
    }

    void copyRowsOutside(cv::Range rows) {
        const cv::Range all(0, m_w + 1);
        m_mask(cv::Range(0, rows.start), all).copyTo(m_next(cv::Range(0, rows.start), all));
        m_mask(cv::Range(rows.end, m_h + 1), all).copyTo(m_next(cv::Range(rows.end, m_h + 1), all));
    }
    void copyColumnsOutside(cv::Range rows, cv::Range cols) {
        const cv::Range left(0, cols.start), right(cols.end, m_w + 1);
        m_mask(rows, left).copyTo(m_next(rows, left));
        m_mask(rows, right).copyTo(m_next(rows, right));
    }

    void holeFillBand(cv::Range rows, cv::Range cols, Scratch &s) const {
        const Plane m(m_mask);
        const cv::Range tested(rows.start, std::min(rows.end, m_h - 3));
        const cv::Range wide(cols.start - 1, cols.end + 1);
        const cv::Range around(rows.start - 1, rows.end + 1);
        s.white.cover(around, wide);
        cv::bitwise_not(m(around, wide), s.white(around, wide));
        s.fill.cover(rows, cols);
        s.fill(rows, cols).setTo(0);

        if (!tested.empty()) {
            const cv::Range t = tested;
            // SingleHole, LeftNotch and RightNotch: white here, black above and below.
            s.base.cover(t, cols);
            const cv::Mat base = s.base(t, cols);
            cv::bitwise_and(s.white(t, cols), m(t, cols, 0, -1), base);
            cv::bitwise_and(base, m(t, cols, 0, 1), base);
            // SingleHole: black left and right.
            const cv::Mat fill = s.fill(t, cols);
            cv::bitwise_and(m(t, cols, -1, 0), m(t, cols, 1, 0), fill);
            // The notches: three white cells in a column on one side, three
            // black on the other, black two above and two below.
            s.blackRun.cover(t, wide);
            s.whiteRun.cover(t, wide);
            cv::bitwise_and(m(t, wide, 0, -1), m(t, wide), s.blackRun(t, wide));
            cv::bitwise_and(s.blackRun(t, wide), m(t, wide, 0, 1), s.blackRun(t, wide));
            cv::bitwise_and(s.white(t, wide, 0, -1), s.white(t, wide), s.whiteRun(t, wide));
            cv::bitwise_and(s.whiteRun(t, wide), s.white(t, wide, 0, 1), s.whiteRun(t, wide));
            s.sides.cover(t, cols);
            const cv::Mat sides = s.sides(t, cols);
            s.gap.cover(t, cols);
            const cv::Mat rightSides = s.gap(t, cols);
            cv::bitwise_and(s.whiteRun(t, cols, -1), s.blackRun(t, cols, 1), sides);
            cv::bitwise_and(s.blackRun(t, cols, -1), s.whiteRun(t, cols, 1), rightSides);
            cv::bitwise_or(sides, rightSides, sides);
            cv::bitwise_and(sides, m(t, cols, 0, -2), sides);
            cv::bitwise_and(sides, m(t, cols, 0, 2), sides);
            cv::bitwise_or(fill, sides, fill);
            cv::bitwise_and(fill, base, fill);
        }

        // VerticalGap at the tested rows whose fills reach this band: (x, y)
        // and (x, y + 1) white, three black in a row at y - 2, y - 1, y + 2
        // and y + 3; it fills both white cells.
        const cv::Range g(std::max(rows.start - 1, 3), std::min(rows.end, m_h - 3));
        if (g.end > g.start) {
            const cv::Range r3(g.start - 2, g.end + 3);
            s.row3.cover(r3, cols);
            cv::bitwise_and(m(r3, cols, -1), m(r3, cols), s.row3(r3, cols));
            cv::bitwise_and(s.row3(r3, cols), m(r3, cols, 1), s.row3(r3, cols));
            s.gap.cover(g, cols);
            const cv::Mat gap = s.gap(g, cols);
            cv::bitwise_and(s.white(g, cols), s.white(g, cols, 0, 1), gap);
            for (const int dy : {-2, -1, 2, 3})
                cv::bitwise_and(gap, s.row3(g, cols, 0, dy), gap);
            const cv::Range own(std::max(g.start, rows.start), g.end);
            if (own.end > own.start)
                cv::bitwise_or(s.fill(own, cols), s.gap(own, cols), s.fill(own, cols));
            const cv::Range below(g.start + 1, std::min(g.end + 1, rows.end));
            if (below.end > below.start)
                cv::bitwise_or(s.fill(below, cols), s.gap(below, cols, 0, -1), s.fill(below, cols));
        }
        cv::bitwise_or(m(rows, cols), s.fill(rows, cols), m_next(rows, cols));
    }

    // A black pixel stays when there is ink in (x, y-2..y-1) or (x, y+1..y+2),
    // and in (x-2..x-1, y) or (x+1..x+2, y): pairs of cells ORed once.
    void spurRemovalBand(cv::Range rows, cv::Range cols, Scratch &s) const {
        const Plane m(m_mask);
        const cv::Range pairRows(rows.start - 2, rows.end + 1);
        s.pairs.cover(pairRows, cols);
        cv::bitwise_or(m(pairRows, cols), m(pairRows, cols, 0, 1), s.pairs(pairRows, cols));
        s.support.cover(rows, cols);
        const cv::Mat support = s.support(rows, cols);
        cv::bitwise_or(s.pairs(rows, cols, 0, -2), s.pairs(rows, cols, 0, 1), support);
        cv::bitwise_and(support, m(rows, cols), support);

        const cv::Range pairCols(cols.start - 2, cols.end + 1);
        s.rowPairs.cover(rows, pairCols);
        cv::bitwise_or(m(rows, pairCols), m(rows, pairCols, 1), s.rowPairs(rows, pairCols));
        s.rowSupport.cover(rows, cols);
        const cv::Mat rowSupport = s.rowSupport(rows, cols);
        cv::bitwise_or(s.rowPairs(rows, cols, -2), s.rowPairs(rows, cols, 1), rowSupport);
        cv::bitwise_and(support, rowSupport, m_next(rows, cols));
    }

    QImage m_image;
    cv::Mat m_picture;  // the scan's pixels, BGRA
    int m_w, m_h;
    cv::Mat m_mask, m_next;
    cv::Scalar m_upper;
    bool m_outsideBlack;
};

}  // namespace cvchain

// taches as an OpenCV user would write it: the picture's W x H cells as a
// plane of bytes, 255 for black; the black components (8-connected) and the
// white ones (4-connected, of the plane inverted) labelled with their areas
// and boxes, then the plane copied and, within the box of each component
// that is small and, for white, does not reach the picture's edge, its pixels
// flipped: a small component's box is small, so this reads far fewer labels
// than a pass over every pixel.
class CvDespeckle {
public:
    explicit CvDespeckle(const PackedMask &mask, int w, int h) : m_plane(h, w, CV_8U) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                m_plane.at<uchar>(y, x) = mask.at(x, y) ? 255 : 0;
    }
    const cv::Mat &result() const { return m_out; }

    void run(int speck) {
        const int w = m_plane.cols, h = m_plane.rows;
        const int blacks = cv::connectedComponentsWithStats(m_plane, m_blackLabels, m_blackStats,
                                                            m_centroids, 8, CV_32S);
        cv::bitwise_not(m_plane, m_white);
        const int whites = cv::connectedComponentsWithStats(m_white, m_whiteLabels, m_whiteStats,
                                                            m_centroids, 4, CV_32S);
        m_plane.copyTo(m_out);
        // Label 0 is the background of each labelling: the other colour.
        const auto flip = [&](const cv::Mat &labels, const cv::Mat &stats, int count, bool white,
                              uchar to) {
            for (int l = 1; l < count; ++l) {
                const int *st = stats.ptr<int>(l);
                const int left = st[cv::CC_STAT_LEFT], top = st[cv::CC_STAT_TOP];
                const int right = left + st[cv::CC_STAT_WIDTH],
                          bottom = top + st[cv::CC_STAT_HEIGHT];
                if (st[cv::CC_STAT_AREA] > speck ||
                    (white && (left == 0 || top == 0 || right == w || bottom == h)))
                    continue;
                for (int y = top; y < bottom; ++y) {
                    const int *row = labels.ptr<int>(y);
                    uchar *out = m_out.ptr<uchar>(y);
                    for (int x = left; x < right; ++x)
                        if (row[x] == l)
                            out[x] = to;
                }
            }
        };
        flip(m_blackLabels, m_blackStats, blacks, false, 0);
        flip(m_whiteLabels, m_whiteStats, whites, true, 255);
    }

private:
    cv::Mat m_plane, m_white, m_out;
    cv::Mat m_blackLabels, m_whiteLabels, m_blackStats, m_whiteStats, m_centroids;
};

// The cells of the picture where OpenCV's taches and ours differ.
qint64 despeckleDifferences(const cv::Mat &plane, const PackedMask &ours) {
    qint64 count = 0;
    for (int y = 0; y < plane.rows; ++y)
        for (int x = 0; x < plane.cols; ++x)
            count += (plane.at<uchar>(y, x) != 0) != ours.at(x, y);
    return count;
}

// The cells where OpenCV's plane and our mask differ; the first in `first`.
qint64 differences(const cv::Mat &plane, const PackedMask &ours, QPoint *first) {
    qint64 count = 0;
    for (int x = 0; x <= ours.upperX(); ++x)
        for (int y = 0; y <= ours.upperY(); ++y)
            if ((plane.at<uchar>(y, x) != 0) != ours.at(x, y) && count++ == 0)
                *first = QPoint(x, y);
    return count;
}

// Runs both chains on `scan`, pass after pass, and says where they first
// part. Empty when they agree.
QString compareChains(const QImage &scan) {
    cvchain::Chain theirs(scan);
    KernelModel ours;
    ours.load(scan);
    const std::pair<const char *, std::function<void()>> steps[] = {
        {"nb", [&] { nb(ours), theirs.threshold(); }},
        {"bouchtrou", [&] { bouchtrou(ours), theirs.holeFill(); }},
        {"affine", [&] { affine(ours), theirs.spurRemoval(); }},
    };
    for (const auto &[name, step] : steps) {
        step();
        QPoint at;
        if (const qint64 n = differences(theirs.mask(), ours.Mask, &at))
            return QStringLiteral("%1 x %2, after %3: %4 cells differ, the first at (%5, %6)")
                .arg(scan.width())
                .arg(scan.height())
                .arg(QLatin1String(name))
                .arg(n)
                .arg(at.x())
                .arg(at.y());
    }
    return {};
}

// The OpenCV chain must give our masks before it is timed: on the sample,
// and on random masks of every height from 8 to 160 (one to ten bands, and
// every remainder) at a few widths, on one and on two threads.
bool openCvChainEqual(const QImage &scan) {
    std::mt19937 random(15);
    const double odds[] = {0.5, 0.75, 0.9};
    for (const int threads : {1, 2}) {
        cv::setNumThreads(threads);
        QString problem = compareChains(scan);
        for (const int w : {8, 9, 11, 64, 67, 300}) {
            for (int h = 8; h <= 160 && problem.isEmpty(); ++h)
                problem = compareChains(randomPicture(w, h, odds[(w + h) % 3], random));
        }
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "bench_batch: the OpenCV chain on %d threads is not ours: %s\n",
                         threads, qPrintable(problem));
            return false;
        }
    }
    return true;
}
#endif

// One line of the kernels table: ours, Leptonica's (one thread) and
// OpenCV's on one and two threads.
struct Timings {
    const char *what;
    const char *tsvName;
    double ours[2] = {-1, -1};  // -1: not measured
    double leptonica = -1;
    double theirs[2] = {-1, -1};
};

void printTable(const std::vector<Timings> &rows) {
    const auto ms = [](double v) {
        return v < 0 ? QStringLiteral("n/a") : QString::asprintf("%.2f ms", v);
    };
    const auto ratio = [](double ours, double theirs) {
        return ours < 0 || theirs < 0 ? QStringLiteral("n/a")
                                      : QString::asprintf("%.2f x", theirs / ours);
    };
    std::printf("  %-26s %10s %11s %7s %10s %7s   %10s %10s %7s\n", "", "ours 1 th", "Leptonica 1",
                "ratio", "OpenCV 1", "ratio", "ours 2 th", "OpenCV 2", "ratio");
    for (const Timings &r : rows)
        std::printf("  %-26s %10s %11s %7s %10s %7s   %10s %10s %7s\n", r.what,
                    qPrintable(ms(r.ours[0])), qPrintable(ms(r.leptonica)),
                    qPrintable(ratio(r.ours[0], r.leptonica)), qPrintable(ms(r.theirs[0])),
                    qPrintable(ratio(r.ours[0], r.theirs[0])), qPrintable(ms(r.ours[1])),
                    qPrintable(ms(r.theirs[1])), qPrintable(ratio(r.ours[1], r.theirs[1])));
}

// PASS THREADS OURS_MS LEPTONICA_MS OPENCV_MS, NA where not measured.
void printTsv(const std::vector<Timings> &rows) {
    const auto ms = [](double v) {
        return v < 0 ? QStringLiteral("NA") : QString::asprintf("%.3f", v);
    };
    for (const Timings &r : rows)
        for (const int t : {0, 1})
            std::printf("%s\t%d\t%s\t%s\t%s\n", r.tsvName, t + 1, qPrintable(ms(r.ours[t])),
                        qPrintable(ms(t == 0 ? r.leptonica : -1)), qPrintable(ms(r.theirs[t])));
}

// The floor under any pass that reads the picture: every word of its pixels
// read once, on `threads` threads each summing a share of the rows.
double readOnceMs(const QImage &scan, int runs, int threads) {
    const auto *words = reinterpret_cast<const std::uint64_t *>(scan.constBits());
    const size_t count = size_t(scan.sizeInBytes()) / sizeof(std::uint64_t);
    std::vector<std::uint64_t> sums(static_cast<size_t>(threads));
    const auto sum = [&](int t) {
        const size_t a = count * size_t(t) / size_t(threads);
        const size_t b = count * size_t(t + 1) / size_t(threads);
        std::uint64_t s[4] = {};
        size_t i = a;
        for (; i + 4 <= b; i += 4)
            for (int k = 0; k < 4; ++k)
                s[k] += words[i + size_t(k)];
        for (; i < b; ++i)
            s[0] += words[i];
        sums[size_t(t)] = s[0] + s[1] + s[2] + s[3];
    };
    const double ms = medianMs(
        runs, [] {},
        [&] {
            std::vector<std::thread> others;
            for (int t = 1; t < threads; ++t)
                others.emplace_back(sum, t);
            sum(0);
            for (std::thread &t : others)
                t.join();
        });
    volatile std::uint64_t keep = 0;
    for (const std::uint64_t v : sums)
        keep = keep + v;
    return ms;
}

// The peak resident memory of a running process, in KiB: VmHWM, which starts
// afresh when the process starts the program (unlike the rusage figure, which
// keeps what the parent held).
long peakKiB(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return 0;
}

// Runs the program, waits for it, and returns the wall time; `peak` gets its
// peak resident memory in KiB, sampled every few milliseconds.
double runProgram(const QStringList &arguments, long *peak) {
    std::vector<QByteArray> bytes{QByteArray(INKMASK_BATCH)};
    for (const QString &a : arguments)
        bytes.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    QElapsedTimer t;
    t.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    *peak = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        *peak = std::max(*peak, peakKiB(pid));
        usleep(2000);
    }
    const double ms = double(t.nsecsElapsed()) / 1e6;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::printf("  (inkmask-batch failed: status %d)\n", status);
    return ms;
}

void benchEndToEnd(int files, int runs) {
    QTemporaryDir dir;
    const QString in = dir.filePath(QStringLiteral("in"));
    QDir().mkpath(in);
    const QString first = in + QStringLiteral("/page-00.png");
    makeSampleScan(2480, 3508, 21).save(first);
    QStringList inputs{first};
    for (int i = 1; i < files; ++i) {
        const QString copy = in + QStringLiteral("/page-%1.png").arg(i, 2, 10, QLatin1Char('0'));
        QFile::copy(first, copy);
        inputs << copy;
    }
    std::printf(
        "End to end, %d copies of a 2480 x 3508 page (%.1f Mpx, PNG %.1f MB): read, "
        "nb,bouchtrou,affine, write picture and mask (PNG)\n",
        files, 2480.0 * 3508 / 1e6, double(QFileInfo(first).size()) / 1e6);
    for (int jobs : {1, 2}) {
        std::vector<double> times;
        long peak = 0;
        for (int r = 0; r < runs; ++r) {
            QDir(dir.filePath(QStringLiteral("out"))).removeRecursively();
            QStringList args{QStringLiteral("-j"),
                             QString::number(jobs),
                             QStringLiteral("--quiet"),
                             QStringLiteral("--steps"),
                             QStringLiteral("nb,bouchtrou,affine"),
                             QStringLiteral("--output-dir"),
                             dir.filePath(QStringLiteral("out")),
                             QStringLiteral("--mask-dir"),
                             dir.filePath(QStringLiteral("masks"))};
            times.push_back(runProgram(args + inputs, &peak));
        }
        const double ms = median(times);
        std::printf(
            "  -j %d: %7.0f ms for %d files: %6.0f ms per file, %.2f files/s, peak "
            "memory %.0f MB (%.0f MB per file in flight)\n",
            jobs, ms, files, ms / files, files * 1000.0 / ms, double(peak) / 1024.0,
            double(peak) / 1024.0 / jobs);
    }
    long peak = 0;
    const double one =
        runProgram({QStringLiteral("--quiet"), QStringLiteral("--steps"),
                    QStringLiteral("nb,bouchtrou,affine"), QStringLiteral("-o"),
                    dir.filePath(QStringLiteral("one.png")), QStringLiteral("--mask"),
                    dir.filePath(QStringLiteral("one-mask.png")), first},
                   &peak);
    std::printf("  one file alone: %.0f ms, peak memory %.0f MB\n", one, double(peak) / 1024.0);
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const bool kernelsOnly = app.arguments().contains(QStringLiteral("--kernels"));
    const bool tsv = app.arguments().contains(QStringLiteral("--tsv"));
    const int runs = quick ? 3 : 7;
    const int w = quick ? 2480 : 7000;
    const int h = quick ? 3508 : 5000;
    const double mpx = double(w) * h / 1e6;

    if (!kernelsOnly)
        benchEndToEnd(quick ? 4 : 20, quick ? 1 : 3);

    // --form NAME: our kernels with that image scan form instead of the fastest.
    QString usedForm = imageScanForms().first();
    if (const qsizetype form = app.arguments().indexOf(QStringLiteral("--form")); form > 0) {
        usedForm = app.arguments().value(form + 1);
        if (!imageScanForms().contains(usedForm)) {
            std::fprintf(stderr, "bench_batch: this processor has no form %s\n",
                         qPrintable(usedForm));
            return 2;
        }
        useImageScanForm(usedForm);
    }
    const QImage scan = makeSampleScan(w, h, 7);
    // --only PASS: that pass alone, 40 times, for a profiler to watch.
    if (const qsizetype only = app.arguments().indexOf(QStringLiteral("--only")); only > 0) {
        const QString pass = app.arguments().value(only + 1);
        // --threads N: the timed pass's columns on N threads.
        const qsizetype threadsAt = app.arguments().indexOf(QStringLiteral("--threads"));
        const int n = threadsAt > 0 ? std::max(1, app.arguments().value(threadsAt + 1).toInt()) : 1;
        KernelModel m;
        const auto before = [&] {
            m.load(scan);
            if (pass != QLatin1String("nb") && pass != QLatin1String("chain"))
                nb(m);
            if (pass == QLatin1String("affine"))
                bouchtrou(m);
        };
        const auto timed = [&] {
            if (pass == QLatin1String("nb"))
                nb(m, n);
            else if (pass == QLatin1String("bouchtrou"))
                bouchtrou(m, n);
            else if (pass == QLatin1String("affine"))
                affine(m, n);
            else
                chainOn(m, n);
        };
        const double ms = medianMs(40, before, timed);
        std::printf("%s on %d thread(s): %.2f ms, median of 40; the picture read once: %.2f ms\n",
                    qPrintable(pass), n, ms,
                    readOnceMs(scan.convertToFormat(QImage::Format_RGB32), 40, n));
        return 0;
    }
    // With --tsv the figures go out as tab-separated lines, the prose to stderr.
    FILE *prose = tsv ? stderr : stdout;
#ifdef INKMASK_WITH_OPENCV
    if (!openCvChainEqual(scan))
        return 1;
    const QString openCv = QStringLiteral("OpenCV %1 with shifted views in bands of %2 rows")
                               .arg(QLatin1String(CV_VERSION))
                               .arg(cvchain::Chain::kBandRows);
#else
    const QString openCv = QStringLiteral("no OpenCV (not found when configuring)");
#endif
#ifdef INKMASK_WITH_LEPTONICA
    if (!leptonicaChainEqual(scan))
        return 1;
    const QString leptonica =
        QStringLiteral(
            "Leptonica %1 on one thread (its 1-bit rasters and rasterops, the "
            "templates as word loops, NB its faster form)")
            .arg(QLatin1String(getLeptonicaVersion()));
#else
    const QString leptonica = QStringLiteral("no Leptonica (not found when configuring)");
#endif
    std::fprintf(prose,
                 "Kernels on a %d x %d sample scan (%.1f Mpx), thresholds 180,180,180, file "
                 "reading and writing excluded, median of %d runs, load average %s; ours with "
                 "image scan form %s; %s; %s; their masks and pictures checked equal to ours:\n",
                 w, h, mpx, runs, qPrintable(loadAverage()), qPrintable(usedForm),
                 qPrintable(leptonica), qPrintable(openCv));

    std::vector<Timings> rows{{"nb (threshold)", "nb"},
                              {"bouchtrou (four templates)", "bouchtrou"},
                              {"affine (support test)", "affine"},
                              {"chain nb,bouchtrou,affine", "chain"}};
    // Ours on one thread.
    KernelModel model;
    rows[0].ours[0] = medianMs(
        runs, [&] { model.load(scan); }, [&] { nb(model); });
    rows[1].ours[0] = medianMs(
        runs, [&] { model.load(scan), nb(model); }, [&] { bouchtrou(model); });
    rows[2].ours[0] = medianMs(
        runs, [&] { model.load(scan), nb(model), bouchtrou(model); }, [&] { affine(model); });
    rows[3].ours[0] = medianMs(
        runs, [&] { model.load(scan); }, [&] { nb(model), bouchtrou(model), affine(model); });
    // One file's passes on two threads, as inkmask-batch runs them when it
    // has a worker more than files left; checked equal to one thread's.
    KernelModel oneThread;
    oneThread.load(scan);
    nb(oneThread), bouchtrou(oneThread), affine(oneThread);
    rows[0].ours[1] = medianMs(
        runs, [&] { model.load(scan); }, [&] { nb(model, 2); });
    rows[1].ours[1] = medianMs(
        runs, [&] { model.load(scan), nb(model); }, [&] { bouchtrou(model, 2); });
    rows[2].ours[1] = medianMs(
        runs, [&] { model.load(scan), nb(model), bouchtrou(model); }, [&] { affine(model, 2); });
    rows[3].ours[1] = medianMs(
        runs, [&] { model.load(scan); }, [&] { chainOn(model, 2); });
    if (model.Mask != oneThread.Mask || model.picture.image() != oneThread.picture.image()) {
        std::fprintf(stderr, "The chain on two threads DIFFERS from one thread's\n");
        return 1;
    }

#ifdef INKMASK_WITH_LEPTONICA
    {
        lepchain::Chain theirs(scan, 180);
        // NB in both of the library's forms; the faster counts, in the chain too.
        double best = -1;
        bool bestBand = true;
        for (const bool band : {true, false}) {
            theirs.useBand(band);
            const double ms = medianMs(
                runs, [&] { theirs.reset(); }, [&] { theirs.threshold(); });
            if (best < 0 || ms < best)
                best = ms, bestBand = band;
        }
        theirs.useBand(bestBand);
        rows[0].leptonica = best;
        rows[1].leptonica = medianMs(
            runs, [&] { theirs.reset(), theirs.threshold(); }, [&] { theirs.holeFill(); });
        rows[2].leptonica = medianMs(
            runs, [&] { theirs.reset(), theirs.threshold(), theirs.holeFill(); },
            [&] { theirs.spurRemoval(); });
        rows[3].leptonica = medianMs(
            runs, [&] { theirs.reset(); },
            [&] { theirs.threshold(), theirs.holeFill(), theirs.spurRemoval(); });
        std::fprintf(prose, "  (Leptonica's NB: %s)\n",
                     bestBand ? "pixGenerateMaskByBand32"
                              : "pixConvertRGBToGrayMinMax and pixThresholdToBinary");
    }
#endif
#ifdef INKMASK_WITH_OPENCV
    cvchain::Chain theirs(scan);
    for (const int threads : {1, 2}) {
        cv::setNumThreads(threads);
        double *at[4] = {&rows[0].theirs[threads - 1], &rows[1].theirs[threads - 1],
                         &rows[2].theirs[threads - 1], &rows[3].theirs[threads - 1]};
        *at[0] = medianMs(
            runs, [&] { theirs.reset(); }, [&] { theirs.threshold(); });
        *at[1] = medianMs(
            runs, [&] { theirs.reset(), theirs.threshold(); }, [&] { theirs.holeFill(); });
        *at[2] = medianMs(
            runs, [&] { theirs.reset(), theirs.threshold(), theirs.holeFill(); },
            [&] { theirs.spurRemoval(); });
        *at[3] = medianMs(
            runs, [&] { theirs.reset(); },
            [&] { theirs.threshold(), theirs.holeFill(), theirs.spurRemoval(); });
    }
#endif
    // The floor: the picture's pixels read once, in the same run.
    const QImage pixels = scan.convertToFormat(QImage::Format_RGB32);
    const double floor[2] = {readOnceMs(pixels, 3 * runs, 1), readOnceMs(pixels, 3 * runs, 2)};
    if (!tsv) {
        printTable(rows);
        std::printf("  (ratio: their time over ours; chain on ours: %.0f Mpx/s)\n",
                    mpx * 1000.0 / rows[3].ours[0]);
        std::printf(
            "  floor, the %.0f MB picture read once: %.2f ms on one thread, %.2f ms on two; "
            "the chain takes %.2f x and %.2f x that\n",
            double(pixels.sizeInBytes()) / 1e6, floor[0], floor[1], rows[3].ours[0] / floor[0],
            rows[3].ours[1] / floor[1]);
    }

    // taches after NB on the sample of seed 1, as inkmask-samplegen --seed 1.
    const QImage specks = makeSampleScan(w, h, 1);
    std::vector<Timings> despeckle{{"taches (speck 4) after nb", "taches"}};
    despeckle[0].ours[0] = medianMs(
        runs, [&] { model.load(specks), nb(model); }, [&] { taches(model); });
    despeckle[0].ours[1] = medianMs(
        runs, [&] { model.load(specks), nb(model); }, [&] { taches(model, 2); });
    const qint64 flipped = [&] {
        KernelModel before;
        before.load(specks);
        nb(before);
        qint64 n = 0;
        for (int x = 0; x < w; ++x)
            for (int y = 0; y < h; ++y)
                n += before.Mask.at(x, y) != model.Mask.at(x, y);
        return n;
    }();
#ifdef INKMASK_WITH_OPENCV
    {
        KernelModel afterNb;
        afterNb.load(specks);
        nb(afterNb);
        CvDespeckle theirs(afterNb.Mask, w, h);
        for (const int threads : {1, 2}) {
            cv::setNumThreads(threads);
            theirs.run(kDefaultSpeckSize);
            if (const qint64 n = despeckleDifferences(theirs.result(), model.Mask)) {
                std::fprintf(stderr,
                             "OpenCV's taches on %d threads DIFFERS from ours in %lld cells\n",
                             threads, static_cast<long long>(n));
                return 1;
            }
            despeckle[0].theirs[threads - 1] = medianMs(
                runs, [] {}, [&] { theirs.run(kDefaultSpeckSize); });
        }
    }
    std::fprintf(
        prose,
        "taches on the %d x %d sample of seed 1 after NB, %lld pixels flipped, median of %d "
        "runs; OpenCV: connectedComponentsWithStats (black 8-connected, white 4-connected) and "
        "the area filter, its result checked equal to ours:\n",
        w, h, static_cast<long long>(flipped), runs);
#else
    std::fprintf(prose,
                 "taches on the %d x %d sample of seed 1 after NB, %lld pixels flipped, median of "
                 "%d runs:\n",
                 w, h, static_cast<long long>(flipped), runs);
#endif
    if (tsv) {
        printTsv(rows);
        printTsv(despeckle);
        std::printf("floor\t1\t%.3f\nfloor\t2\t%.3f\n", floor[0], floor[1]);
        return 0;
    }
    printTable(despeckle);

    // The local rule on the same sample: the paper estimate, then NB with
    // each cell of 8 x 8 pixels against limits of its own, beside plain NB.
    const double paperMs = medianMs(
        runs, [] {}, [&] { (void)estimatePaper(specks); });
    Thresholds local = kThresholds;
    local.paper = std::make_shared<const PaperEstimate>(estimatePaper(specks));
    const double plainMs = medianMs(
        runs, [&] { model.load(specks); }, [&] { nb(model); });
    const double localMs = medianMs(
        runs, [&] { model.load(specks); }, [&] { run(model, ThresholdKernel(local)); });
    std::printf("local NB on the same sample, one thread, median of %d runs:\n", runs);
    report("paper estimate", paperMs, mpx);
    report("nb", plainMs, mpx);
    report("nb, local rule", localMs, mpx,
           qPrintable(QStringLiteral("%1 x nb").arg(localMs / plainMs, 0, 'f', 2)));

    // What writing needs besides the encoders: the picture flattened (paint
    // applied to the pixels) and the mask as a 1-bit picture.
    KernelModel afterChain;
    afterChain.load(scan);
    nb(afterChain), bouchtrou(afterChain), affine(afterChain);
    const double flattenMs = medianMs(
        runs, [&] { model.load(scan.copy()), nb(model), bouchtrou(model), affine(model); },
        [&] { model.picture.takeImage(); });
    report("then: picture flattened for writing", flattenMs, mpx);
    const double maskMs = medianMs(
        runs, [] {}, [&] { maskImage(afterChain.Mask, afterChain.picture.original()); });
    report("then: mask as a 1-bit picture", maskMs, mpx);
    return 0;
}
