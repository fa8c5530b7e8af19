// Times the passes through the real window (offscreen): the end-of-column
// overhead, and full NB, bouchtrou and affine passes on a plan-sized and a
// large scan. Prints figures; it checks nothing.
//
//   QT_QPA_PLATFORM=offscreen build/bench/bench_window [--quick]

#include "image/columnpass.h"
#include "platform/messagebox.h"
#include "platform/picturebox.h"
#include "samplegen.h"
#include "shell/form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace ink;

namespace {

class EmptyRule : public ColumnOperation {
public:
    PassRange range() const override { return {1, 0.0f, 2, 0.0f}; }
    void processColumn(Module1 &, PixelSurface &, qint32, qint32, qint32) override {}
};

double medianMs(int runs, const std::function<void()> &f) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        f();
        times.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void benchSize(const QString &dir, int w, int h, int runs) {
    const QString path = dir + QStringLiteral("/scan-%1x%2.png").arg(w).arg(h);
    if (!makeSampleScan(w, h, 7).save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return;
    }
    Module1 module;
    Form1 form(module);
    if (!form.Form_Load(path))
        return;
    QApplication::processEvents();

    EmptyRule empty;
    const double emptyMs = medianMs(runs, [&] { form.runPass(empty); });
    const double columns = w;  // the empty rule walks columns 1..W
    std::printf("%dx%d  end-of-column step: %.1f us per column (%.1f ms per pass)\n", w, h,
                emptyMs * 1000.0 / columns, emptyMs);

    struct Pass {
        const char *name;
        std::function<void()> click;
        double columns;
    };
    const Pass passes[] = {
        {"NB", [&] { form.rgb2nb_Click(); }, double(w)},
        {"bouchtrou", [&] { form.bouchtrou_Click(); }, double(w - 6)},
        {"affine", [&] { form.affine_Click(); }, double(w - 4)},
    };
    for (const Pass &p : passes) {
        const double ms = medianMs(runs, p.click);
        const double stepMs = emptyMs * p.columns / columns;
        std::printf("%dx%d  %-9s %8.1f ms per pass, %.0f%% in the end-of-column step\n", w, h,
                    p.name, ms, 100.0 * stepMs / ms);
    }
}

}  // namespace

int main(int argc, char *argv[]) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    MessageBoxes::setHandler([](QWidget *, const QString &text) {
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
    });
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));
    QTemporaryDir dir;
    benchSize(dir.path(), 1280, 1024, 5);
    if (!quick)
        benchSize(dir.path(), 7000, 5000, 3);
    return 0;
}
