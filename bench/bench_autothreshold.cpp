// Automatic thresholds: how far NB's mask lies from the generator's truth
// with the fixed 180,180,180, with Otsu's split of each channel alone and
// with the program's thresholds computed from each scan, on plain, shaded
// and yellowed paper; then the time to compute them
// on a 7000 x 5000 scan (a 600 dpi A3 sheet), median of several runs.
// Prints figures; it checks nothing.
//
//   build-rel/bench/bench_autothreshold [--quick]

#include "core/ops/autothreshold.h"
#include "samplegen.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <time.h>

using namespace ink;

namespace {

// This thread's processor time: on a shared machine the wall clock also
// counts the time other programs had the processor.
double threadMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

struct Errors {
    qint64 ink = 0;         // ink pixels in the truth
    qint64 falseWhite = 0;  // ink the mask calls paper
    qint64 falseBlack = 0;  // paper the mask calls ink
    qint64 wrong() const { return falseWhite + falseBlack; }
};

// NB's rule on every pixel against the truth.
Errors compare(const SampleScan &sample, const Thresholds &t) {
    Errors e;
    for (int y = 0; y < sample.scan.height(); ++y) {
        const auto *row = reinterpret_cast<const QRgb *>(sample.scan.constScanLine(y));
        const uchar *truth = sample.truth.constScanLine(y);
        for (int x = 0; x < sample.scan.width(); ++x) {
            const QRgb p = row[x];
            const bool black = qRed(p) <= t.red && qGreen(p) <= t.green && qBlue(p) <= t.blue;
            const bool ink = truth[x] == 0;
            e.ink += ink;
            e.falseWhite += ink && !black;
            e.falseBlack += !ink && black;
        }
    }
    return e;
}

void printRow(const char *paper, const char *how, const Thresholds &t, const Errors &e) {
    std::printf("  %-9s %-5s %3.0f,%3.0f,%3.0f  %10lld %10lld %10lld  %7.2f %%\n", paper, how,
                t.red, t.green, t.blue, e.falseWhite, e.falseBlack, e.wrong(),
                100.0 * double(e.wrong()) / double(std::max<qint64>(1, e.ink)));
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));

    const int w = quick ? 1200 : 2480;
    const int h = quick ? 900 : 3508;
    const quint32 seeds[] = {1, 2, 3};
    std::printf(
        "Ink pixels wrong against the truth, sample scans %d x %d, seeds 1 to 3 summed\n"
        "  paper     by    thresholds   false white false black      wrong  of the ink\n",
        w, h);
    const struct {
        SamplePaper paper;
        const char *name;
    } papers[] = {{SamplePaper::Plain, "plain"},
                  {SamplePaper::Shaded, "shaded"},
                  {SamplePaper::Yellowed, "yellowed"}};
    for (const auto &paper : papers) {
        // Fixed, Otsu's split alone, and the program's thresholds.
        Errors sums[3];
        Thresholds shown[3] = {{180, 180, 180}, {}, {}};
        for (const quint32 seed : seeds) {
            const SampleScan sample = makeSampleScan(w, h, seed, paper.paper);
            const ChannelHistograms histograms = channelHistograms(sample.scan);
            shown[1] = {double(otsuThreshold(histograms.red)),
                        double(otsuThreshold(histograms.green)),
                        double(otsuThreshold(histograms.blue))};
            shown[2] = channelThresholds(histograms);
            for (int i = 0; i < 3; ++i) {
                const Errors e = compare(sample, shown[i]);
                sums[i].ink += e.ink;
                sums[i].falseWhite += e.falseWhite;
                sums[i].falseBlack += e.falseBlack;
            }
        }
        const char *how[3] = {"fixed", "otsu", "auto"};
        for (int i = 0; i < 3; ++i)
            printRow(paper.name, how[i], shown[i], sums[i]);
    }
    std::printf("  (otsu and auto: the thresholds shown are those of seed 3)\n");

    const int tw = quick ? 2480 : 7000;
    const int th = quick ? 3508 : 5000;
    const int runs = quick ? 3 : 7;
    const QImage scan = makeSampleScan(tw, th, 7, SamplePaper::Shaded).scan;
    std::vector<double> wall, processor;
    Thresholds t;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        const double start = threadMs();
        t = automaticThresholds(scan);
        processor.push_back(threadMs() - start);
        wall.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(processor.begin(), processor.end());
    const double mpx = double(tw) * th / 1e6;
    const double ms = processor[processor.size() / 2];
    std::printf(
        "Computing them on %d x %d (%.1f Mpx, shaded), one thread, median of %d:\n"
        "  %.1f ms of processor time (%.0f Mpx/s), %.1f ms on the wall clock; "
        "gave %.0f,%.0f,%.0f\n",
        tw, th, mpx, runs, ms, mpx * 1e3 / ms, wall[wall.size() / 2], t.red, t.green, t.blue);
    return 0;
}
