// Times inkmask-batch: each pass and the chain nb,bouchtrou,affine on a
// 7000 x 5000 sample scan (a 600 dpi A3 sheet), file reading and writing
// excluded, median of several runs, and the chain with each pass's columns
// on two threads, checked equal to one; the same three operations written
// with OpenCV, on the same picture, checked equal to ours (when OpenCV was
// found at configure time); then the program end to end on 20 A4 pages at
// 300 dpi with -j 1 and -j 2 (not with --kernels). Prints figures; it checks
// nothing but the equalities.
//
//   build/bench/bench_batch [--quick] [--kernels]

#include "core/ops/kernels.h"
#include "core/platform/imagefiles.h"
#include "samplegen.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef INKMASK_WITH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>
#endif

extern char **environ;

using namespace ink;

namespace {

constexpr Thresholds kThresholds{180, 180, 180};

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

void report(const char *what, double ms, double megapixels, const char *note = "") {
    std::printf("  %-34s %8.1f ms %8.0f Mpx/s  %s\n", what, ms, megapixels * 1000.0 / ms, note);
}

class QuietStep : public ColumnStep {
public:
    void refreshPicture(qint32) override {}
    void setProgress(const QString &) override {}
    void refreshWindow() override {}
    void doEvents() override {}
    int cancelValue() override { return 0; }
    void setCancelValue(int) override {}
};

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

void nb(KernelModel &m) {
    run(m, ThresholdKernel(kThresholds));
}
void bouchtrou(KernelModel &m) {
    run(m, HoleFillKernel());
}
void affine(KernelModel &m) {
    run(m, SpurRemovalKernel());
}

#ifdef INKMASK_WITH_OPENCV
// The chain written with OpenCV on a mask of (W + 1) x (H + 1) cells, 255 for
// black, with the passes' ranges: NB on columns 1..W, rows 2..H (cells past
// the picture black); the four templates as hit-or-miss transforms for the
// pixels 3..W-4 x 3..H-4; the support test as two dilations for 3..W-2 x 3..H-2.
struct OpenCvChain {
    cv::Mat picture;  // the scan's pixels, BGRA
    cv::Mat black;    // NB's result on the picture
    cv::Mat mask;     // the whole mask
    cv::Mat scratch, hits, gaps, vertical, horizontal;
    std::vector<cv::Mat> templates;
    cv::Mat gapTemplate, verticalKernel, horizontalKernel;

    explicit OpenCvChain(const QImage &scan)
        : picture(scan.height(), scan.width(), CV_8UC4, const_cast<uchar *>(scan.constBits()),
                  size_t(scan.bytesPerLine())) {
        templates.push_back((cv::Mat_<int>(3, 3) << 0, 1, 0, 1, -1, 1, 0, 1, 0));  // SingleHole
        templates.push_back((cv::Mat_<int>(5, 3) << 0, 1, 0, -1, 1, 1, -1, -1, 1, -1, 1, 1, 0, 1,
                             0));  // LeftNotch
        templates.push_back((cv::Mat_<int>(5, 3) << 0, 1, 0, 1, 1, -1, 1, -1, -1, 1, 1, -1, 0, 1,
                             0));  // RightNotch
        gapTemplate = (cv::Mat_<int>(6, 3) << 1, 1, 1, 1, 1, 1, 0, -1, 0, 0, -1, 0, 1, 1, 1, 1, 1,
                       1);  // VerticalGap, anchored at its upper white cell
        verticalKernel = (cv::Mat_<uchar>(5, 1) << 1, 1, 0, 1, 1);
        horizontalKernel = (cv::Mat_<uchar>(1, 5) << 1, 1, 0, 1, 1);
    }
    int width() const { return picture.cols; }
    int height() const { return picture.rows; }

    void threshold() {
        cv::inRange(picture, cv::Scalar(0, 0, 0, 0),
                    cv::Scalar(kThresholds.blue, kThresholds.green, kThresholds.red, 255), black);
    }
    void assemble() {
        const int w = width(), h = height();
        mask.create(h + 1, w + 1, CV_8U);
        mask.setTo(0);
        black(cv::Rect(1, 2, w - 1, h - 2)).copyTo(mask(cv::Rect(1, 2, w - 1, h - 2)));
        mask(cv::Rect(w, 2, 1, h - 1)).setTo(255);  // the column past the picture
        mask(cv::Rect(1, h, w, 1)).setTo(255);      // the row below it
    }
    void holeFill() {
        const int w = width(), h = height();
        const cv::Rect tested(3, 3, w - 6, h - 6);
        hits.create(mask.size(), CV_8U);
        hits.setTo(0);
        for (const cv::Mat &t : templates) {
            cv::morphologyEx(mask, scratch, cv::MORPH_HITMISS, t);
            cv::bitwise_or(hits(tested), scratch(tested), hits(tested));
        }
        cv::morphologyEx(mask, gaps, cv::MORPH_HITMISS, gapTemplate, cv::Point(1, 2));
        cv::bitwise_or(hits(tested), gaps(tested), hits(tested));
        const cv::Rect below(3, 4, w - 6, h - 6);  // a gap's lower half
        cv::bitwise_or(hits(below), gaps(tested), hits(below));
        cv::bitwise_or(mask, hits, mask);
    }
    void spurRemoval() {
        const int w = width(), h = height();
        const cv::Rect tested(3, 3, w - 4, h - 4);
        cv::dilate(mask, vertical, verticalKernel);
        cv::dilate(mask, horizontal, horizontalKernel);
        cv::bitwise_and(vertical(tested), horizontal(tested), scratch);
        cv::bitwise_and(mask(tested), scratch, mask(tested));
    }
};

bool sameMask(const cv::Mat &cv, const PackedMask &ours) {
    for (int x = 0; x <= ours.upperX(); ++x)
        for (int y = 0; y <= ours.upperY(); ++y)
            if ((cv.at<uchar>(y, x) != 0) != ours.at(x, y))
                return false;
    return true;
}

void benchOpenCv(const QImage &scan, const KernelModel &afterNb, const KernelModel &afterChain,
                 int runs, double mpx) {
    OpenCvChain c(scan);
    std::printf("OpenCV %s, %d threads:\n", CV_VERSION, cv::getNumThreads());
    const double thr = medianMs(
        runs, [] {}, [&] { c.threshold(); });
    bool equal = true;
    for (int y = 2; y < c.height() && equal; ++y)
        for (int x = 1; x < c.width(); ++x)
            if ((c.black.at<uchar>(y, x) != 0) != afterNb.Mask.at(x, y)) {
                equal = false;
                break;
            }
    report("threshold (inRange)", thr, mpx, equal ? "equal to ours" : "DIFFERS FROM OURS");
    const double asm_ = medianMs(
        runs, [] {}, [&] { c.assemble(); });
    report("mask of (W+1) x (H+1) from it", asm_, mpx);
    const double hole = medianMs(
        runs, [&] { c.assemble(); }, [&] { c.holeFill(); });
    report("four templates (hit-or-miss)", hole, mpx);
    const double spur = medianMs(
        runs, [&] { c.assemble(), c.holeFill(); }, [&] { c.spurRemoval(); });
    report("support test (dilations)", spur, mpx);
    const double chain = medianMs(
        runs, [] {}, [&] { c.threshold(), c.assemble(), c.holeFill(), c.spurRemoval(); });
    report("chain", chain, mpx,
           sameMask(c.mask, afterChain.Mask) ? "mask equal to ours" : "MASK DIFFERS FROM OURS");
}
#endif

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
    const double one = runProgram(
        {QStringLiteral("--quiet"), QStringLiteral("-o"), dir.filePath(QStringLiteral("one.png")),
         QStringLiteral("--mask"), dir.filePath(QStringLiteral("one-mask.png")), first},
        &peak);
    std::printf("  one file alone: %.0f ms, peak memory %.0f MB\n", one, double(peak) / 1024.0);
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    const int runs = quick ? 3 : 7;
    const int w = quick ? 2480 : 7000;
    const int h = quick ? 3508 : 5000;
    const double mpx = double(w) * h / 1e6;

    if (!app.arguments().contains(QStringLiteral("--kernels")))
        benchEndToEnd(quick ? 4 : 20, quick ? 1 : 3);

    const QImage scan = makeSampleScan(w, h, 7);
    std::printf(
        "Sample scan %d x %d (%.1f Mpx), thresholds 180,180,180, image scan form %s, "
        "median of %d runs, one thread:\n",
        w, h, mpx, qPrintable(imageScanForms().first()), runs);

    KernelModel model;
    const double nbMs = medianMs(
        runs, [&] { model.load(scan); }, [&] { nb(model); });
    report("nb", nbMs, mpx);
    KernelModel afterNb;
    afterNb.load(scan);
    nb(afterNb);
    const double holeMs = medianMs(
        runs, [&] { model.load(scan), nb(model); }, [&] { bouchtrou(model); });
    report("bouchtrou", holeMs, mpx);
    const double spurMs = medianMs(
        runs, [&] { model.load(scan), nb(model), bouchtrou(model); }, [&] { affine(model); });
    report("affine", spurMs, mpx);
    const double chainMs = medianMs(
        runs, [&] { model.load(scan); }, [&] { nb(model), bouchtrou(model), affine(model); });
    report("chain nb,bouchtrou,affine", chainMs, mpx);
    KernelModel afterChain;
    afterChain.load(scan);
    nb(afterChain), bouchtrou(afterChain), affine(afterChain);
    // One file's passes on two threads, as inkmask-batch runs them when it
    // has a worker more than files left.
    const double twoMs = medianMs(
        runs, [&] { model.load(scan); }, [&] { chainOn(model, 2); });
    const bool same = model.Mask.toMaskArray() == afterChain.Mask.toMaskArray() &&
                      model.picture.image() == afterChain.picture.image();
    report("chain on 2 threads (column bands)", twoMs, mpx,
           same ? "equal to one thread's" : "DIFFERS FROM ONE THREAD'S");

    // What writing needs besides the encoders: the picture flattened (paint
    // applied to the pixels) and the mask as a 1-bit picture.
    const double flattenMs = medianMs(
        runs, [&] { model.load(scan.copy()), nb(model), bouchtrou(model), affine(model); },
        [&] { model.picture.takeImage(); });
    report("then: picture flattened for writing", flattenMs, mpx);
    const double maskMs = medianMs(
        runs, [] {}, [&] { maskImage(afterChain.Mask, afterChain.picture.original()); });
    report("then: mask as a 1-bit picture", maskMs, mpx);

#ifdef INKMASK_WITH_OPENCV
    benchOpenCv(scan, afterNb, afterChain, runs, mpx);
#else
    std::printf("OpenCV was not found when configuring: no comparison.\n");
#endif
    return 0;
}
