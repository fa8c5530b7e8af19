// The NB pass: the per-channel rule on every visited cell, a picture with no
// row to visit, and through the window the boxes' wiring to the channels, a
// bad threshold typed while the pass runs and the local rule. Thresholds from
// the picture: Otsu's split on hand-worked histograms, the histogram walk
// against a plain count, the window's Ctrl+T, Ctrl+click and Ctrl+H,
// inkmask-batch --thresholds auto against the window, and on the generator's
// shaded and yellowed paper a mask nearer the truth than 180,180,180.

#include "batch/options.h"
#include "core/files/loadpicture.h"
#include "core/ops/autothreshold.h"
#include "core/ops/paper.h"
#include "core/ops/threshold.h"
#include "samplegen.h"
#include "shell/form1.h"
#include "shell/histogramwindow.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"
#include "support.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>

using namespace ink;
using namespace ink::test;

namespace {

using Counts = QList<QPair<int, int>>;  // value, pixels

ChannelHistogram histogramOf(const Counts &counts) {
    ChannelHistogram h{};
    for (const auto &[value, pixels] : counts)
        h[size_t(value)] = std::uint64_t(pixels);
    return h;
}

// The histograms counted the plain way, pixel by pixel through QImage::pixel
// of the picture converted whole.
ChannelHistograms plainCount(const QImage &picture) {
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB32);
    ChannelHistograms h;
    for (int y = 0; y < rgb.height(); ++y)
        for (int x = 0; x < rgb.width(); ++x) {
            const QRgb p = rgb.pixel(x, y);
            ++h.red[size_t(qRed(p))], ++h.green[size_t(qGreen(p))], ++h.blue[size_t(qBlue(p))];
        }
    h.pixels = std::uint64_t(rgb.width()) * std::uint64_t(rgb.height());
    return h;
}

// NB's rule on every pixel: how many differ from the truth (0 = ink).
qint64 wrongPixels(const SampleScan &sample, const Thresholds &t) {
    qint64 wrong = 0;
    for (int y = 0; y < sample.scan.height(); ++y)
        for (int x = 0; x < sample.scan.width(); ++x) {
            const QRgb p = sample.scan.pixel(x, y);
            const bool black = qRed(p) <= t.red && qGreen(p) <= t.green && qBlue(p) <= t.blue;
            wrong += black != (qGray(sample.truth.pixel(x, y)) == 0);
        }
    return wrong;
}

QStringList boxTexts(Form1 &form) {
    return {control<QLineEdit>(form, "rbox")->text(), control<QLineEdit>(form, "vbox")->text(),
            control<QLineEdit>(form, "bbox")->text()};
}

QStringList texts(const Thresholds &t) {
    return {QString::number(t.red), QString::number(t.green), QString::number(t.blue)};
}

constexpr ColorValue rgb(int r, int g, int b) {
    return r + 256 * g + 65536 * b;
}
constexpr ColorValue kGrey = rgb(100, 100, 100);

// A w x h picture in one colour, with masks that start checkered so that the
// cells the pass leaves alone can be told apart; it hands the pass its
// thresholds and counts the reads.
struct Fixture : ThresholdSource {
    Fixture(int w, int h, ColorValue color) : picture(solidImage(w, h, color)) {
        before.allocate(w, h);
        for (int x = 0; x <= w; ++x)
            for (int y = 0; y <= h; ++y)
                before.set(x, y, (x + y) % 2 == 1);
        module.Mask = before;
    }
    Thresholds thresholds() override {
        ++reads;
        return values;
    }
    void run() {
        ThresholdPass pass(*this);
        runColumnPass(module, picture, step, pass);
    }
    PackedMask before;
    Module1 module;
    Sheet picture;
    ScriptedStep step;
    Thresholds values;
    int reads = 0;
};

QByteArray at(int x, int y) {
    return QByteArray::number(x) + ',' + QByteArray::number(y);
}

}  // namespace

class TestAutoThreshold : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_scan;  // a yellowed sample scan, which 180,180,180 turns black

    std::unique_ptr<Form1> window(Module1 &module) {
        auto form = std::make_unique<Form1>(module);
        if (!form->Form_Load(m_scan))
            return nullptr;
        form->activateWindow();
        if (!QTest::qWaitForWindowActive(form.get()))
            return nullptr;
        return form;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_scan = m_dir.filePath(QStringLiteral("yellowed.png"));
        QVERIFY(makeSampleScan(300, 200, 4, SamplePaper::Yellowed).scan.save(m_scan));
    }

    // Worked by hand: Otsu's t from w0 * w1 * (m0 - m1)^2, the dark class <= t;
    // then the emptiest run of values between t and the light class's mean.
    void thresholds_data() {
        QTest::addColumn<Counts>("counts");
        QTest::addColumn<int>("otsu");
        QTest::addColumn<int>("threshold");
        // Every t from 40 to 239 splits the same: the middle of the gap; the
        // empty run, two values clear of each spike, is 43..237.
        QTest::newRow("two spikes") << Counts{{40, 100}, {240, 300}} << 139 << 140;
        QTest::newRow("two wide modes")
            << Counts{{50, 5}, {59, 5}, {200, 5}, {209, 5}} << 129 << 129;
        QTest::newRow("adjacent values") << Counts{{100, 1}, {101, 7}} << 100 << 100;
        QTest::newRow("black and white") << Counts{{0, 9}, {255, 1}} << 127 << 127;
        // {20} | {120, 220}: 1/6 * 5/6 * 180^2 = 4500; {20, 120} | {220}:
        // 2/6 * 4/6 * 150^2 = 5000.
        QTest::newRow("three modes, light heavy")
            << Counts{{20, 10}, {120, 10}, {220, 40}} << 169 << 170;
        QTest::newRow("three modes, dark heavy")
            << Counts{{20, 40}, {120, 10}, {220, 10}} << 69 << 70;
        // t = 0: 1/2 * 1/2 * 2.5^2 = 1.5625; t = 1..3: 3/4 * 1/4 * (11/3)^2 = 2.52.
        // Two values either side of 3 hold 2 pixels, of 2 hold 4.
        QTest::newRow("spread, then a gap") << Counts{{0, 2}, {1, 1}, {4, 1}} << 2 << 3;
        Counts dip{{40, 100}, {240, 100}};
        for (int v = 41; v < 240; ++v)
            if (v != 200)
                dip.append({v, 1});
        // Otsu near the middle, tipped by the missing 200; around 198..202 four
        // pixels, elsewhere five.
        QTest::newRow("a dip before the paper") << dip << 140 << 200;
        QTest::newRow("one value") << Counts{{200, 50}} << 127 << 127;
        QTest::newRow("empty") << Counts{} << 127 << 127;
    }
    void thresholds() {
        QFETCH(Counts, counts);
        QFETCH(int, otsu);
        QFETCH(int, threshold);
        QCOMPARE(otsuThreshold(histogramOf(counts)), otsu);
        QCOMPARE(channelThreshold(histogramOf(counts)), threshold);
    }

    // The unrolled walk against the plain count, at every width and height
    // up to 300 (the four-pixel groups' tail, the converted bands of 64 rows).
    // The paper under a page lit from one side and from above, with ink
    // strokes across it, comes back as that shading; on even paper, evening
    // changes nothing, so the local rule is the plain one.
    void paperEstimate() {
        const auto lit = [](int x, int y) {
            return std::array<int, 3>{100 + 150 * x / 399, 200 - 60 * y / 299, 180};
        };
        QImage page(400, 300, QImage::Format_RGB32);
        for (int y = 0; y < 300; ++y)
            for (int x = 0; x < 400; ++x) {
                const auto p = lit(x, y);
                const bool ink = x % 23 < 2 || y % 17 == 0;
                page.setPixel(x, y, ink ? qRgb(20, 25, 30) : qRgb(p[0], p[1], p[2]));
            }
        const PaperEstimate paper = estimatePaper(page);
        QCOMPARE(paper.brightest[0], 250);
        for (int y = 4; y < 300; y += 8)
            for (int x = 4; x < 400; x += 8)
                for (int c = 0; c < 3; ++c)
                    QVERIFY2(std::abs(paper.at(c, x, y) - lit(x, y)[size_t(c)]) <= 4,
                             qPrintable(QStringLiteral("(%1, %2) channel %3: %4, lit %5")
                                            .arg(x)
                                            .arg(y)
                                            .arg(c)
                                            .arg(paper.at(c, x, y))
                                            .arg(lit(x, y)[size_t(c)])));
        QImage even = page;
        even.fill(qRgb(230, 220, 200));
        for (int x = 0; x < 400; x += 7)
            even.setPixel(x, x % 300, qRgb(x % 256, 40, 90));
        QCOMPARE(evenedPicture(even, estimatePaper(even)), even);
    }

    // Paper, black ink with grey edges, and a red ink as bright as the paper
    // in its red channel: auto keeps the red ink and the paper white; without
    // the red ink it keeps the split between black ink and paper.
    void autoKeepsColouredInk() {
        for (const bool red : {false, true}) {
            QImage page(300, 200, QImage::Format_RGB32);
            Rng rng(7);
            for (int y = 0; y < 200; ++y)
                for (int x = 0; x < 300; ++x) {
                    const int n = rng.below(7) - 3;
                    QRgb p = qRgb(235 + n, 225 + n, 205 + n);
                    if (x % 20 < 2)
                        p = qRgb(30 + n, 30 + n, 35 + n);
                    else if (x % 20 == 2)
                        p = qRgb(130 + n, 128 + n, 120 + n);
                    else if (red && y % 25 == 0)
                        p = qRgb(200 + n, 70 + n, 60 + n);
                    page.setPixel(x, y, p);
                }
            const Thresholds t = automaticThresholds(page);
            const auto black = [&](QRgb p) {
                return qRed(p) <= t.red && qGreen(p) <= t.green && qBlue(p) <= t.blue;
            };
            QVERIFY(black(qRgb(33, 33, 38)) && !black(qRgb(232, 222, 202)));
            QCOMPARE(black(qRgb(197, 67, 57)), red);
            if (!red) {
                const Thresholds split = channelThresholds(channelHistograms(page));
                QCOMPARE(QList<double>({t.red, t.green, t.blue}),
                         QList<double>({split.red, split.green, split.blue}));
            }
        }
    }

    void histogramWalk() {
        for (const int format : {int(QImage::Format_RGB32), int(QImage::Format_RGB888),
                                 int(QImage::Format_Grayscale8)}) {
            for (int n = 1; n <= 300; ++n) {
                for (const QSize size : {QSize(n, 3), QSize(3, n)}) {
                    const QImage image = noiseImage(size.width(), size.height(), quint64(n))
                                             .convertToFormat(QImage::Format(format));
                    if (channelHistograms(image) != plainCount(image))
                        QFAIL(qPrintable(
                            QStringLiteral("%1 x %2").arg(size.width()).arg(size.height())));
                }
            }
            QCOMPARE(channelHistograms(QImage()).pixels, std::uint64_t(0));
        }
    }

    void nearerTheTruth() {
        for (const int paper : {int(SamplePaper::Shaded), int(SamplePaper::Yellowed)}) {
            const SampleScan sample = makeSampleScan(600, 450, 2, SamplePaper(paper));
            const qint64 fixed = wrongPixels(sample, Thresholds{180, 180, 180});
            const qint64 automatic = wrongPixels(sample, automaticThresholds(sample.scan));
            QVERIFY2(automatic * 20 < fixed,
                     qPrintable(QStringLiteral("auto %1, fixed %2").arg(automatic).arg(fixed)));
        }
    }

    // Ctrl+T writes the numbers of the picture as loaded, after NB as
    // before, and changes nothing else.
    void thresholdsKey() {
        Module1 module;
        const auto form = window(module);
        QVERIFY(form);
        const QStringList expected = texts(automaticThresholds(LoadPicture(m_scan)));
        // The scan's own numbers: neither the fallback nor the boxes' start.
        QVERIFY(!expected.contains(QStringLiteral("127")) &&
                !expected.contains(QStringLiteral("180")));
        auto *picture = control<PictureBox>(*form, "Picture1");
        for (const bool afterNb : {false, true}) {
            if (afterNb)
                control<QPushButton>(*form, "rgb2nb")->click();
            for (QLineEdit *box : form->findChildren<QLineEdit *>(QRegularExpression("^[rvb]box$")))
                box->setText(QStringLiteral("180"));
            const QImage pixels = picture->image();
            const PackedMask mask = module.Mask;
            const PackedMask work = module.WorkMask;
            const QString title = form->windowTitle();
            // The second time from a box, where the user has just typed.
            QWidget *focus =
                afterNb ? static_cast<QWidget *>(control<QLineEdit>(*form, "vbox")) : picture;
            QTest::keyClick(focus, Qt::Key_T, Qt::ControlModifier);
            QCOMPARE(boxTexts(*form), expected);
            QCOMPARE(picture->image(), pixels);
            QVERIFY(module.Mask == mask && module.WorkMask == work);
            QCOMPARE(form->windowTitle(), title);
            QVERIFY(!form->isWindowModified());
        }
    }

    // Ctrl+click: the pixel as paper; Ctrl+Shift+click: as ink; a plain
    // click changes no box. The pixel is read from the scan as loaded, not
    // from what NB painted.
    void pick_data() {
        QTest::addColumn<bool>("afterNb");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QRgb>("colour");
        QTest::addColumn<QStringList>("boxes");
        const int ctrl = int(Qt::ControlModifier);
        const int shift = int(Qt::ShiftModifier);
        QTest::newRow("paper") << false << ctrl << qRgb(200, 150, 100)
                               << QStringList{"199", "149", "99"};
        QTest::newRow("paper, after NB")
            << true << ctrl << qRgb(200, 150, 100) << QStringList{"199", "149", "99"};
        QTest::newRow("paper, a channel at 0 and at 255")
            << false << ctrl << qRgb(0, 255, 1) << QStringList{"0", "254", "0"};
        QTest::newRow("ink, after NB")
            << true << (ctrl | shift) << qRgb(30, 40, 255) << QStringList{"30", "40", "255"};
        QTest::newRow("plain click")
            << false << 0 << qRgb(30, 40, 50) << QStringList{"180", "180", "180"};
    }
    void pick() {
        QFETCH(bool, afterNb);
        QFETCH(int, modifiers);
        QFETCH(QRgb, colour);
        QFETCH(QStringList, boxes);
        QImage image = solidImage(20, 10, 0xFFFFFF);
        image.setPixel(7, 4, colour);
        const QString path = m_dir.filePath(QStringLiteral("pick.png"));
        QVERIFY(image.save(path));
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(path));
        if (afterNb)
            form.rgb2nb_Click();
        QTest::mouseClick(control<PictureBox>(form, "Picture1"), Qt::LeftButton,
                          Qt::KeyboardModifiers(modifiers), QPoint(7, 4));
        QCOMPARE(boxTexts(form), boxes);
    }

    // Ctrl+H shows the histograms of the picture as loaded, the boxes marked.
    void histogramWindow() {
        Module1 module;
        const auto form = window(module);
        QVERIFY(form);
        auto *picture = control<PictureBox>(*form, "Picture1");
        QTest::keyClick(picture, Qt::Key_H, Qt::ControlModifier);
        auto *histograms = form->findChild<HistogramWindow *>();
        QVERIFY(histograms && histograms->isVisible());
        QCOMPARE(form->loadedHistograms(), channelHistograms(LoadPicture(m_scan)));
        control<QLineEdit>(*form, "vbox")->setText(QStringLiteral("x"));
        QTest::keyClick(picture, Qt::Key_T, Qt::ControlModifier);
        control<QLineEdit>(*form, "bbox")->setText(QStringLiteral("x"));
        const Thresholds t = automaticThresholds(LoadPicture(m_scan));
        QCOMPARE(histograms->marks(), (HistogramWindow::Marks{t.red, t.green, std::nullopt}));
        QCOMPARE(histograms->windowTitle(), QStringLiteral("Histograms - yellowed.png"));

        // A click or a drag on a histogram sets its box to the value under the
        // pointer; a drag stays on the histogram it started on. A grey scan
        // has one histogram, which sets all three.
        const auto press = [&](QEvent::Type type, int panel, int value) {
            const QPointF at = histograms->valuePoint(panel, value);
            QMouseEvent event(type, at, histograms->mapToGlobal(at), Qt::LeftButton,
                              type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton,
                              Qt::NoModifier);
            QCoreApplication::sendEvent(histograms, &event);
        };
        QCOMPARE(histograms->panelCount(), 3);
        QTest::mouseClick(histograms, Qt::LeftButton, {}, histograms->valuePoint(1, 77));
        press(QEvent::MouseButtonPress, 0, 10);
        press(QEvent::MouseMove, 2, 200);
        QCOMPARE(histograms->pointerText(),
                 QStringLiteral("200: %1").arg(form->loadedHistograms().blue[200]));
        press(QEvent::MouseButtonRelease, 2, 200);
        press(QEvent::MouseMove, 2, 30);
        QCOMPARE(boxTexts(*form), (QStringList{"200", "77", "x"}));
        const QString grey = m_dir.filePath(QStringLiteral("grey.png"));
        QVERIFY(LoadPicture(m_scan).convertToFormat(QImage::Format_Grayscale8).save(grey));
        QVERIFY(form->openFile(grey));
        QTRY_COMPARE(histograms->windowTitle(), QStringLiteral("Histograms - grey.png"));
        QCOMPARE(histograms->panelCount(), 1);
        QTest::mouseClick(histograms, Qt::LeftButton, {}, histograms->valuePoint(0, 99));
        QCOMPARE(boxTexts(*form), (QStringList{"99", "99", "99"}));
        QTest::keyClick(control<QLineEdit>(*form, "bbox"), Qt::Key_H, Qt::ControlModifier);
        QVERIFY(!histograms->isVisible());
    }

    // --thresholds auto: the window's numbers, and the mask of those numbers.
    void batchAuto() {
        const auto parse = [this](const char *thresholds) {
            return parseBatchArguments({"inkmask-batch", "--thresholds", thresholds, "--mask-dir",
                                        m_dir.filePath(QStringLiteral("masks")), m_scan},
                                       1);
        };
        QVERIFY2(parse("auto").options.autoThresholds, qPrintable(parse("auto").error));
        QCOMPARE(parse("auto,1,2").action, ParsedArguments::Usage);

        Module1 module;
        const auto form = window(module);
        QVERIFY(form);
        QTest::keyClick(control<PictureBox>(*form, "Picture1"), Qt::Key_T, Qt::ControlModifier);
        const QString fromWindow = boxTexts(*form).join(QLatin1Char(','));
        QStringList masks;
        QString reported;
        for (const QString &thresholds : {QStringLiteral("auto"), fromWindow}) {
            masks << m_dir.filePath(thresholds + QStringLiteral(".png"));
            const BatchRun run =
                runBatch({"--thresholds", thresholds, "--mask", masks.last(), m_scan});
            QCOMPARE(run.exitCode, 0);
            if (reported.isEmpty())
                reported = run.err;
        }
        QVERIFY2(reported.startsWith(
                     QStringLiteral("inkmask-batch: %1: thresholds %2\n").arg(m_scan, fromWindow)),
                 qPrintable(reported));
        QCOMPARE(QImage(masks[0]), QImage(masks[1]));
    }

    // Columns 1..W and rows 2..H are visited: a pixel turns black when no
    // channel exceeds its own threshold, else white; column W and row H lie
    // beyond the picture and read as (0, 0, 0). Nothing else changes.
    void classification_data() {
        QTest::addColumn<QList<double>>("thresholds");  // red, green, blue
        QTest::addColumn<int>("color");
        QTest::addColumn<bool>("black");
        const QList<double> at180{180, 180, 180};
        QTest::newRow("equal is black") << at180 << rgb(180, 180, 180) << true;
        QTest::newRow("red over") << at180 << rgb(181, 0, 0) << false;
        QTest::newRow("green over") << at180 << rgb(0, 181, 0) << false;
        QTest::newRow("blue over") << at180 << rgb(0, 0, 181) << false;
        QTest::newRow("each channel against its own threshold")
            << QList<double>{10, 100, 200} << rgb(10, 100, 200) << true;
        QTest::newRow("negative: not even (0, 0, 0) is black")
            << QList<double>{180, 180, -1} << rgb(0, 0, 0) << false;
    }
    void classification() {
        QFETCH(QList<double>, thresholds);
        QFETCH(int, color);
        QFETCH(bool, black);
        const int w = 4, h = 5;
        Fixture f(w, h, color);
        f.values = {thresholds[0], thresholds[1], thresholds[2]};
        f.run();
        const bool beyondBlack = *std::min_element(thresholds.begin(), thresholds.end()) >= 0;
        for (int x = 0; x <= w; ++x) {
            for (int y = 0; y <= h; ++y) {
                const bool visited = x >= 1 && y >= 2, onPicture = x < w && y < h;
                const bool mask = !visited ? f.before.at(x, y) : onPicture ? black : beyondBlack;
                QVERIFY2(f.module.Mask.at(x, y) == mask, at(x, y));
                const ColorValue paint = !visited ? color : black ? kBlack : kWhite;
                QVERIFY2(!onPicture || f.picture.Point(x, y) == paint, at(x, y));
            }
        }
    }

    // A picture under three rows high leaves every column without rows: each
    // column steps, the thresholds are never read, and nothing changes.
    void noRowsReadsNothing() {
        Fixture f(6, 1, kGrey);
        f.run();
        QCOMPARE(f.reads, 0);
        QCOMPARE(f.step.progress, QStringLiteral("i=6"));
        QVERIFY(f.module.Mask == f.before);
        QCOMPARE(f.picture.image(), solidImage(6, 1, kGrey));
    }

    // Through the window: rbox, vbox and bbox hold the red, green and blue
    // thresholds, read once per column: a letter typed into bbox while NB runs
    // ends the pass with error 13 naming the box before the next column paints
    // or stores anything, and without copy-back.
    void boxesInTheWindow() {
        QTemporaryDir dir;
        const QString png = dir.filePath(QStringLiteral("p.png"));
        QVERIFY(solidImage(20, 10, rgb(10, 100, 200)).save(png));
        QStringList messages;
        MessageBoxes::setHandler([&](QWidget *, const QString &text) { messages << text; });
        const auto restore = qScopeGuard([] { MessageBoxes::setHandler({}); });
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(png));
        control<QLineEdit>(form, "rbox")->setText(QStringLiteral("10"));
        control<QLineEdit>(form, "vbox")->setText(QStringLiteral("100"));
        control<QLineEdit>(form, "bbox")->setText(QStringLiteral("200"));
        // The key press is posted when column 5 is done; the pump delivers it.
        connect(control<QLineEdit>(form, "Progress"), &QLineEdit::textChanged, &form,
                [&](const QString &text) {
                    if (text == QLatin1String("i=5"))
                        QCoreApplication::postEvent(
                            control<QLineEdit>(form, "bbox"),
                            new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a"));
                });
        control<QPushButton>(form, "rgb2nb")->click();

        QCOMPARE(messages.size(), 1);
        QVERIFY(messages.first().contains(QStringLiteral("13")));
        QVERIFY(messages.first().contains(QStringLiteral("bbox")));
        QCOMPARE(control<QLineEdit>(form, "Progress")->text(), QStringLiteral("i=5"));
        QCOMPARE(module.Mask.countBlack(), 0);
        QCOMPARE(control<PictureBox>(form, "Picture1")->Point(5, 9),
                 kBlack);  // white if any two boxes were swapped
        QCOMPARE(control<PictureBox>(form, "Picture1")->Point(6, 2), rgb(10, 100, 200));
        QVERIFY(!module.WorkMask.at(6, 2));
    }

    // The local box (Ctrl+L) in the window: a page whose right half lies in
    // a shadow turns black there under the plain rule, and keeps only its
    // strokes under the local one, as inkmask-batch --local makes them.
    void localRuleInTheWindow() {
        QTemporaryDir dir;
        const QString png = dir.filePath(QStringLiteral("shadow.png"));
        QImage page(120, 80, QImage::Format_RGB32);
        for (int y = 0; y < 80; ++y)
            for (int x = 0; x < 120; ++x) {
                const int paper = x < 60 ? 230 : 150;
                page.setPixel(x, y,
                              x % 10 == 0 ? qRgb(paper / 5, paper / 5, paper / 5)
                                          : qRgb(paper, paper, paper));
            }
        QVERIFY(page.save(png));
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(png));
        auto *local = control<QCheckBox>(form, "ckbLocal");
        auto *nb = control<QPushButton>(form, "rgb2nb");
        nb->click();
        QVERIFY(module.Mask.at(95, 40));  // the shadow, black, and warned of
        auto *warning = control<QLabel>(form, "nbWarning");
        QCOMPARE(warning->text(), QStringLiteral("52 % black!"));
        QVERIFY(control<QLineEdit>(form, "Progress")
                    ->toolTip()
                    .contains(QStringLiteral("NB left 52 %")));
        QTest::keyClick(&form, Qt::Key_L, Qt::ControlModifier);
        QVERIFY(local->isChecked());
        control<QPushButton>(form, "Command1")->click();  // Reload; it ticks Cancel
        control<QCheckBox>(form, "ckbCancel")->setChecked(false);
        nb->click();
        for (const auto &[x, y, black] :
             {std::tuple{95, 40, false}, {35, 40, false}, {90, 40, true}, {30, 41, true}})
            QVERIFY2(module.Mask.at(x, y) == black, qPrintable(at(x, y)));
        QVERIFY(warning->text().isEmpty());
        QVERIFY(
            !control<QLineEdit>(form, "Progress")->toolTip().contains(QStringLiteral("NB left")));
    }
};

QTEST_MAIN(TestAutoThreshold)
#include "test_autothreshold.moc"
