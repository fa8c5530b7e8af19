// Times the passes through the real window (offscreen): the end-of-column
// overhead, and full NB, bouchtrou and affine passes on a plan-sized and a
// large scan, each with the view at zoom 1 and reduced to 1/4 (where every
// column's step also brings the reduced view up to date). Prints figures; it
// checks nothing.
//
//   QT_QPA_PLATFORM=offscreen build/bench/bench_window [--quick]

#include "core/image/columnpass.h"
#include "samplegen.h"
#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
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

void benchSize(const QString &dir, int w, int h, int runs, int divisor) {
    const QString path = dir + QStringLiteral("/scan-%1x%2.png").arg(w).arg(h);
    if (!QFileInfo::exists(path) && !makeSampleScan(w, h, 7).save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return;
    }
    Module1 module;
    Form1 form(module);
    if (!form.Form_Load(path))
        return;
    // A large sheet opens fitted: the view is set to the scale measured.
    PictureBox *view = form.findChild<PictureBox *>(QStringLiteral("Picture1"));
    divisor > 1 ? view->setReduction(divisor) : view->setZoom(1);
    QApplication::processEvents();
    const QByteArray zoom = divisor > 1 ? "1/" + QByteArray::number(divisor) : "1";

    EmptyRule empty;
    double stepMs = 0;
    medianMs(runs, [&] {
        form.runPass(empty);
        stepMs = double(form.lastPassOutcome().stepNanoseconds) / 1e6;
    });
    const double columns = double(form.lastPassOutcome().columnsDone);
    std::printf("%dx%d zoom %-4s end-of-column step: %.1f us per column\n", w, h, zoom.constData(),
                stepMs * 1000.0 / columns);

    struct Pass {
        const char *name;
        std::function<void()> click;
    };
    const Pass passes[] = {
        {"NB", [&] { form.rgb2nb_Click(); }},
        {"bouchtrou", [&] { form.bouchtrou_Click(); }},
        {"affine", [&] { form.affine_Click(); }},
    };
    for (const Pass &p : passes) {
        double stepShare = 0;
        const double ms = medianMs(runs, [&] {
            p.click();
            const PassOutcome &o = form.lastPassOutcome();
            stepShare = double(o.stepNanoseconds) / 1e6;
        });
        std::printf(
            "%dx%d zoom %-4s %-9s %8.1f ms per pass, %.0f%% of it in the end-of-column step\n", w,
            h, zoom.constData(), p.name, ms, 100.0 * stepShare / ms);
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
    for (const int divisor : {1, 4})
        benchSize(dir.path(), 1280, 1024, 5, divisor);
    if (!quick) {
        for (const int divisor : {1, 4})
            benchSize(dir.path(), 7000, 5000, 3, divisor);
    }
    return 0;
}
