// What undo costs on a large sheet: the time of each pass run by a session
// with its history kept and by the kernels alone, the memory ten passes of
// history take, and the time of each undo and redo.
//
// The session runs the window's passes (the kernels, in the column frame,
// with a view that shows nothing). Plain and recorded runs take turns,
// eleven of each, from the same starting point; "slower" is the median of
// each pair's ratio, so that the machine's speed drifting between runs
// weighs less. Wall times need a quiet machine.
//
//   build-rel/bench/bench_history [WIDTH HEIGHT]     (default 7000 5000)

#include "bench/quietstep.h"
#include "core/session/history.h"
#include "core/session/session.h"
#include "samplegen.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
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

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <typename F>
double wallMs(F &&f) {
    QElapsedTimer t;
    t.start();
    f();
    return double(t.nsecsElapsed()) / 1e6;
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int w = argc >= 3 ? QByteArray(argv[1]).toInt() : 7000;
    const int h = argc >= 3 ? QByteArray(argv[2]).toInt() : 5000;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("scan.png"));
    if (!makeSampleScan(w, h, 1).save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    Module1 module;
    module.ImagePath = path;
    QuietView view;
    Session session(module, view);
    session.load();
    std::printf("%dx%d (%.1f Mpx)\n\npass        plain ms  recorded ms  slower\n", w, h,
                double(w) * h / 1e6);
    const char *plan[] = {"nb", "bouchtrou", "affine", "taches"};
    for (const char *name : plan) {
        const PassEntry &pass = *findPass(QLatin1String(name));
        // Every run starts from the picture and mask this pass finds in the
        // chain: the ones before it done.
        const PackedMask mask = module.Mask, painted = module.picture.painted(),
                         black = module.picture.black();
        const auto reset = [&] {
            module.Mask = mask;
            module.WorkMask = mask;
            module.picture.painted() = painted;
            module.picture.black() = black;
        };
        std::vector<double> plain, recorded, ratio;
        for (int i = 0; i < 11; ++i) {
            reset();
            QuietStep step;
            const auto kernel = packedOperation(pass, PassSettings(Thresholds(180, 180, 180)));
            const double p = wallMs([&] { runColumnPass(module, step, *kernel); });
            reset();
            const double r = wallMs([&] { session.runPass(pass); });
            session.undo();
            plain.push_back(p);
            recorded.push_back(r);
            ratio.push_back(r / p);
        }
        std::printf("%-10s %9.1f %12.1f %6.1f %%\n", name, median(plain), median(recorded),
                    100 * (median(ratio) - 1));
        reset();
        session.history().clear();
        session.runPass(pass);  // the next pass starts from this one's result
    }

    // Ten passes through a fresh session, then every one undone and redone.
    session.load();
    const long loadedKb = residentKb();
    const char *ten[] = {"nb",     "bouchtrou", "affine", "bouchtrou", "affine",
                         "affine", "bouchtrou", "affine", "taches",    "affine"};
    std::printf("\nhistory after each pass (MB):");
    for (const char *name : ten) {
        session.runPass(*findPass(QLatin1String(name)));
        std::printf(" %.1f", double(session.history().bytes()) / 1e6);
    }
    std::printf("\nten passes of history: %.1f MB counted, resident %+.1f MB\n",
                double(session.history().bytes()) / 1e6, double(residentKb() - loadedKb) / 1024);
    std::vector<double> undo, redo;
    for (int i = 0; i < 10; ++i)
        undo.push_back(wallMs([&] { session.undo(); }));
    for (int i = 0; i < 10; ++i)
        redo.push_back(wallMs([&] { session.redo(); }));
    std::printf("undo ms, last pass first:");
    for (const double t : undo)
        std::printf(" %.1f", t);
    std::printf("\nredo ms, first pass first:");
    for (const double t : redo)
        std::printf(" %.1f", t);
    std::printf("\nslowest undo %.1f ms, slowest redo %.1f ms\n",
                *std::max_element(undo.begin(), undo.end()),
                *std::max_element(redo.begin(), redo.end()));
    return 0;
}
