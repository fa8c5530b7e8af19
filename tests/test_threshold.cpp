// The NB pass: the per-channel rule on every visited cell, a picture with no
// row to visit, and through the window the boxes' wiring to the channels and a
// bad threshold typed while the pass runs.

#include "core/ops/threshold.h"
#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"
#include "support.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace ink;
using namespace ink::test;

namespace {

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

class TestThreshold : public QObject {
    Q_OBJECT

private Q_SLOTS:
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

QTEST_MAIN(TestThreshold)
#include "test_threshold.moc"
