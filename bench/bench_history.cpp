// What undo costs on a large sheet: the memory ten passes of history take,
// the time of each undo and redo, and the time of each pass with and without
// recording what it changed. The passes are the window's per-pixel ones, run
// by a session on an in-memory picture (no repaints, so recording weighs
// more here than in the window).
//
// A pass's time is the time it takes (wall time: the recorder compares what
// the pass wrote on a second thread while the pass goes on), beside the
// processor time of all threads, which tells what recording costs in all.
// Plain and recorded runs take turns, nine of each (more, up to 31, for a
// pass under a third of a second), and "slower" is the median of each
// pair's ratio, so that the machine's speed drifting between runs weighs
// less.
// Undo and redo times are this thread's processor time. Wall times need a
// quiet machine.
//
//   build-rel/bench/bench_history [WIDTH HEIGHT [PASS]]     (default 7000 5000)
//
// With PASS (nb, bouchtrou, affine or "nb again") only that pass is timed,
// and nothing else is run; with MODE (plain or recorded) too, only that kind
// of run, thirty times: for profiling.
//
//   build-rel/bench/bench_history WIDTH HEIGHT PASS [MODE]

#include "bench/quietstep.h"
#include "core/session/history.h"
#include "core/session/session.h"
#include "samplegen.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

using namespace ink;

namespace {

long residentKb() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    return -1;
}

class QuietView : public QuietStepOf<SessionView> {
public:
    QString thresholdText(ThresholdBox) override { return QStringLiteral("180"); }
    void reportError(const RuntimeError &error) override {
        std::fprintf(stderr, "%s\n", qPrintable(error.lineText()));
    }
    void closeNow() override {}
};

// A clock's time in milliseconds: this thread's processor time (the machine
// is shared, and wall time would count the other programs' turns), all
// threads' processor time, or wall time.
double clockMs(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}
double cpuMs() {
    return clockMs(CLOCK_THREAD_CPUTIME_ID);
}

struct PassTime {
    double wall = 0, thread = 0, processor = 0, finish = 0;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One pass on copies of `picture` and `mask`, recorded or not, in
// milliseconds; `finish` is the part spent turning the record into a history
// entry after the last column.
PassTime timePass(const QImage &scan, const QImage &picture, const MaskArray &mask,
                  const PassEntry &pass, bool record) {
    // The session keeps the recorder's buffers from one pass to the next.
    static ChangeRecorder::Buffers buffers;
    Module1 module;
    module.Mask = mask;
    module.WorkMask = mask;
    ImageSurface surface(picture);
    FixedSettings thresholds(Thresholds{});
    QuietView step;
    const auto operation = pass.perPixel(thresholds);
    const QImage loaded = onLargePages(scan);  // as the session keeps it
    static const ScanInk ink = scanInkOf(loaded);
    // NB is the first pass on the scan, as after loading; the others run on
    // NB's picture, with the scan as loaded kept beside it.
    const bool asLoaded = picture == loaded;
    PassTime time;
    const double start = clockMs(CLOCK_MONOTONIC);
    const double processorStart = clockMs(CLOCK_PROCESS_CPUTIME_ID);
    const double threadStart = cpuMs();
    if (record) {
        ChangeRecorder recorder(surface, loaded, asLoaded, &buffers, &ink);
        RecordingOperation recording(*operation, recorder);
        runColumnPass(module, recorder, step, recording);
        const double columnsDone = clockMs(CLOCK_MONOTONIC);
        const std::shared_ptr<PassChanges> changes = recorder.finish();
        time.finish = clockMs(CLOCK_MONOTONIC) - columnsDone;
    } else {
        runColumnPass(module, surface, step, *operation);
    }
    time.wall = clockMs(CLOCK_MONOTONIC) - start;
    time.processor = clockMs(CLOCK_PROCESS_CPUTIME_ID) - processorStart;
    time.thread = cpuMs() - threadStart;
    return time;
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int w = argc > 2 ? QByteArray(argv[1]).toInt() : 7000;
    const int h = argc > 2 ? QByteArray(argv[2]).toInt() : 5000;
    const QByteArray only = argc > 3 ? QByteArray(argv[3]) : QByteArray();
    const QByteArray mode = argc > 4 ? QByteArray(argv[4]) : QByteArray();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("scan.tif"));
    const QImage scan = makeSampleScan(w, h, 1);
    if (scan.isNull() || !scan.save(path)) {
        std::fprintf(stderr, "cannot make a %dx%d scan\n", w, h);
        return 1;
    }
    std::printf("%d x %d sample (%.1f Mpx)\n", w, h, double(w) * h / 1e6);

    // Pass time with and without recording, median of nine pairs or more,
    // from the states the passes meet in use.
    {
        MaskArray fresh;
        fresh.allocate(w, h);
        Module1 module;
        module.Mask = fresh;
        module.WorkMask = fresh;
        ImageSurface surface(scan);
        FixedSettings thresholds(Thresholds{});
        QuietView step;
        runColumnPass(module, surface, step, *findPass("nb")->perPixel(thresholds));
        const QImage afterNb = surface.image();
        std::printf(
            "\n           plain  recorded  (processor ms:\n"
            "pass          ms        ms   this    all)   slower  finish ms\n");
        // "nb again": NB on its own picture, as when the thresholds are
        // changed and NB is run once more; it overwrites a picture that is
        // no longer the scan as loaded.
        for (const char *label : {"nb", "bouchtrou", "affine", "nb again"}) {
            const QByteArray name = QByteArray(label).split(' ').first();
            if (!only.isEmpty() && only != label)
                continue;
            const bool first = QByteArray(label) == "nb";
            std::vector<double> plain, recorded, recordedThread, recordedCpu, finished, ratio;
            if (!mode.isEmpty()) {
                // One kind of run only, many times: for profiling it.
                std::vector<double> t;
                for (int i = 0; i < 30; ++i)
                    t.push_back(timePass(scan, first ? scan : afterNb, first ? fresh : module.Mask,
                                         *findPass(QLatin1String(name)), mode == "recorded")
                                    .wall);
                std::printf("%-10s %s %.1f ms\n", label, mode.constData(), median(t));
                continue;
            }
            int pairs = 9;
            for (int i = 0; i < pairs; ++i) {
                const PassTime p =
                    timePass(scan, first ? scan : afterNb, first ? fresh : module.Mask,
                             *findPass(QLatin1String(name)), false);
                const PassTime r =
                    timePass(scan, first ? scan : afterNb, first ? fresh : module.Mask,
                             *findPass(QLatin1String(name)), true);
                plain.push_back(p.wall);
                recorded.push_back(r.wall);
                recordedThread.push_back(r.thread);
                recordedCpu.push_back(r.processor);
                finished.push_back(r.finish);
                ratio.push_back(r.wall / p.wall);
                // A short pass is timed more often: the machine's hiccups
                // weigh more against its time.
                if (i == 0)
                    pairs = std::clamp(int(3000 / p.wall), 9, 31);
            }
            std::printf("%-10s %6.0f %10.0f %7.0f %6.0f %7.1f %% %8.0f\n", label, median(plain),
                        median(recorded), median(recordedThread), median(recordedCpu),
                        100 * (median(ratio) - 1), median(finished));
        }
    }

    if (!only.isEmpty())
        return 0;

    // Ten passes through a session, then every one undone and redone.
    Module1 module;
    module.ImagePath = path;
    MemoryPicture picture;
    QuietView view;
    Session session(module, picture, view);
    session.load();
    const long loadedKb = residentKb();
    const char *plan[] = {"nb",     "bouchtrou", "affine", "bouchtrou", "affine",
                          "affine", "bouchtrou", "affine", "affine",    "affine"};
    std::printf("\nhistory after each pass (MB):");
    for (const char *name : plan) {
        session.runPass(*findPass(QLatin1String(name)));
        std::printf(" %.1f", double(session.history().bytes()) / 1e6);
    }
    const long passesKb = residentKb();
    std::printf("\nten passes of history: %.1f MB counted, resident %+.1f MB\n",
                double(session.history().bytes()) / 1e6, double(passesKb - loadedKb) / 1024);
    std::printf("the scan kept as loaded (Compare, and the colours NB's undo puts back): %.1f MB\n",
                double(session.loadedPicture().sizeInBytes()) / 1e6);

    std::vector<double> undo, redo;
    for (int i = 0; i < 10; ++i) {
        const double start = cpuMs();
        session.undo();
        undo.push_back(cpuMs() - start);
    }
    for (int i = 0; i < 10; ++i) {
        const double start = cpuMs();
        session.redo();
        redo.push_back(cpuMs() - start);
    }
    std::printf("\nundo ms, last pass first:");
    for (const double t : undo)
        std::printf(" %.0f", t);
    std::printf("\nredo ms, first pass first:");
    for (const double t : redo)
        std::printf(" %.0f", t);
    std::printf("\nslowest undo %.0f ms, slowest redo %.0f ms\n",
                *std::max_element(undo.begin(), undo.end()),
                *std::max_element(redo.begin(), redo.end()));
    return 0;
}
