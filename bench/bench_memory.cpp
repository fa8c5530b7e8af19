// Measures the memory the window needs for a scan of a given size: opens a
// synthetic scan as the program does at start-up (offscreen) and prints the
// process's peak resident memory. One size per run, so peaks do not mix.
//
//   QT_QPA_PLATFORM=offscreen build/bench/bench_memory WIDTH HEIGHT

#include "samplegen.h"
#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using namespace ink;

namespace {
long statusKb(const char *field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLong();
    }
    return -1;
}
}  // namespace

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s WIDTH HEIGHT\n", argv[0]);
        return 2;
    }
    const int w = QByteArray(argv[1]).toInt();
    const int h = QByteArray(argv[2]).toInt();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("scan.tif"));
    {
        const QImage scan = makeSampleScan(w, h, 3);
        // TIFF writes fast and stores the pixels as they are.
        if (scan.isNull() || !scan.save(path)) {
            std::fprintf(stderr, "cannot make a %dx%d scan\n", w, h);
            return 1;
        }
    }
    const long before = statusKb("VmRSS:");
    MessageBoxes::setHandler(
        [](QWidget *, const QString &text) { std::fprintf(stderr, "%s\n", qPrintable(text)); });
    Module1 module;
    Form1 form(module);
    QElapsedTimer clock;
    clock.start();
    if (!form.Form_Load(path))
        return 1;
    const double openSeconds = double(clock.nsecsElapsed()) / 1e9;
    const long loaded = statusKb("VmRSS:");
    // The first paint of the view: a large sheet opens fitted, and its
    // reduced view is made from the whole scan.
    clock.restart();
    form.repaint();
    QApplication::processEvents();
    const double viewSeconds = double(clock.nsecsElapsed()) / 1e9;
    const int openedReduction =
        form.findChild<PictureBox *>(QStringLiteral("Picture1"))->reduction();
    clock.restart();
    form.rgb2nb_Click();
    const double nbSeconds = double(clock.nsecsElapsed()) / 1e9;
    const long peak = statusKb("VmHWM:");
    // Ctrl+9: the whole sheet in the view, with nothing to scroll.
    auto *picture = form.findChild<PictureBox *>(QStringLiteral("Picture1"));
    auto *view = form.findChild<QScrollArea *>(QStringLiteral("pictureView"));
    QTest::keyClick(picture, Qt::Key_9, Qt::ControlModifier);
    QApplication::processEvents();
    const bool fits =
        view->horizontalScrollBar()->maximum() == 0 && view->verticalScrollBar()->maximum() == 0;
    std::printf(
        "%dx%d (%.1f Mpx): resident %.0f MB after loading, peak %.0f MB after NB"
        " (%.0f MB before loading); open %.1f s, first view %.2f s at 1/%d, NB %.2f s;"
        " Ctrl+9 shows 1/%d, %s\n",
        w, h, w * double(h) / 1e6, loaded / 1024.0, peak / 1024.0, before / 1024.0, openSeconds,
        viewSeconds, openedReduction, nbSeconds, picture->reduction(),
        fits ? "the whole sheet" : "not all of it");
    return 0;
}
