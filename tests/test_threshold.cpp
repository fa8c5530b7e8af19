// The NB pass: the per-channel rule and its box wiring, the visited range,
// thresholds typed while the pass runs, bad threshold texts and Cancel.

#include "ops/threshold.h"
#include "platform/convert.h"
#include "platform/messagebox.h"
#include "platform/picturebox.h"
#include "shell/form1.h"
#include "support.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace ink;
using namespace ink::test;

namespace {

// The three boxes as texts, read and converted in the window's order.
class BoxTexts : public ThresholdSource {
public:
    Thresholds thresholds() override {
        Thresholds t;
        t.green = textToDouble(v, QStringLiteral("vbox"));
        t.blue = textToDouble(b, QStringLiteral("bbox"));
        t.red = textToDouble(r, QStringLiteral("rbox"));
        return t;
    }
    QString r = QStringLiteral("180");
    QString v = QStringLiteral("180");
    QString b = QStringLiteral("180");
};

constexpr ColorValue rgb(int r, int g, int b) {
    return r + 256 * g + 65536 * b;
}

// A picture in one colour, with masks that start in a checkered pattern so
// that cells the pass must leave alone can be told apart.
struct Fixture {
    Fixture(int w, int h, ColorValue color)
        : original(solidImage(w, h, color)), picture(original.image()) {
        module.Mask.allocate(w, h);
        for (int x = 0; x <= w; ++x)
            for (int y = 0; y <= h; ++y)
                module.Mask.set(x, y, (x + y) % 2 == 1);
        module.WorkMask.allocate(w, h);
        before = module.Mask;
    }
    // Runs the pass; returns the number of the run-time error it raised, or 0.
    int run() {
        ThresholdPass pass(boxes);
        try {
            runColumnPass(module, picture, step, pass);
        } catch (const RuntimeError &e) {
            return e.number();
        }
        return 0;
    }
    // Whether column x of the picture was painted `color` in its visited rows
    // and kept its colour in rows 0 and 1.
    bool columnPainted(int x, ColorValue color) const {
        for (int y = 0; y < original.image().height(); ++y) {
            const ColorValue want = y < 2 ? original.Point(x, y) : color;
            if (picture.Point(x, y) != want)
                return false;
        }
        return true;
    }
    const ImageSurface original;
    Module1 module;
    ImageSurface picture;
    ScriptedStep step;
    BoxTexts boxes;
    MaskArray before;
};

}  // namespace

class TestThreshold : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void classification_data() {
        QTest::addColumn<QStringList>("boxes");  // rbox, vbox, bbox
        QTest::addColumn<int>("color");
        QTest::addColumn<bool>("black");
        QTest::addColumn<QString>("locale");
        const QStringList at180{"180", "180", "180"};
        QTest::newRow("equal to 180 is black") << at180 << rgb(180, 180, 180) << true << "C";
        QTest::newRow("red 181") << at180 << rgb(181, 0, 0) << false << "C";
        QTest::newRow("green 181") << at180 << rgb(0, 181, 0) << false << "C";
        QTest::newRow("blue 181") << at180 << rgb(0, 0, 181) << false << "C";
        const QStringList greenAt0{"255", "0", "255"};
        QTest::newRow("vbox holds green") << greenAt0 << rgb(0, 1, 0) << false << "C";
        QTest::newRow("rbox red, bbox blue") << greenAt0 << rgb(255, 0, 255) << true << "C";
        QTest::newRow("rbox -1") << QStringList{"-1", "180", "180"} << rgb(0, 0, 0) << false << "C";
        QTest::newRow("bbox -1") << QStringList{"255", "255", "-1"} << rgb(0, 0, 0) << false << "C";
        QTest::newRow("255 everywhere")
            << QStringList{"255", "255", "255"} << rgb(255, 255, 255) << true << "C";
        const QStringList fractional{"180,5", " 180,5 ", "180,5"};
        QTest::newRow("180,5 keeps 180") << fractional << rgb(180, 180, 180) << true << "fr_FR";
        QTest::newRow("180,5 drops 181") << fractional << rgb(180, 181, 180) << false << "fr_FR";
    }
    void classification() {
        QFETCH(QStringList, boxes);
        QFETCH(int, color);
        QFETCH(bool, black);
        QFETCH(QString, locale);
        const QLocale saved;
        QLocale::setDefault(QLocale(locale));
        const auto restore = qScopeGuard([&] { QLocale::setDefault(saved); });

        const int w = 4, h = 5;
        Fixture f(w, h, color);
        f.boxes.r = boxes[0];
        f.boxes.v = boxes[1];
        f.boxes.b = boxes[2];
        QCOMPARE(f.run(), 0);
        QCOMPARE(f.step.progress, QStringLiteral("i=4"));
        QVERIFY(f.module.Mask == f.module.WorkMask);

        // Column W and row H lie beyond the picture: they read as (0, 0, 0).
        const bool noneNegative = std::all_of(
            boxes.begin(), boxes.end(), [](const QString &t) { return textToDouble(t) >= 0; });
        for (int x = 0; x <= w; ++x) {
            for (int y = 0; y <= h; ++y) {
                const QByteArray where = QByteArray::number(x) + "," + QByteArray::number(y);
                const bool visited = x >= 1 && y >= 2;
                const bool onPicture = x < w && y < h;
                const bool want = !visited ? f.before.at(x, y) : onPicture ? black : noneNegative;
                QVERIFY2(f.module.Mask.at(x, y) == want, where);
                if (onPicture) {
                    const ColorValue painted = !visited ? color : black ? kBlack : kWhite;
                    QVERIFY2(f.picture.Point(x, y) == painted, where);
                }
            }
        }
    }

    void editTakesEffectFromNextColumn() {
        Fixture f(6, 4, rgb(100, 100, 100));
        f.step.at(2, [&] { f.boxes.r = QStringLiteral("99"); });
        QCOMPARE(f.run(), 0);
        for (int x = 1; x <= 5; ++x)
            QVERIFY(f.columnPainted(x, x <= 2 ? kBlack : kWhite));
        QVERIFY(f.module.Mask.at(2, 3));
        QVERIFY(!f.module.Mask.at(3, 3));
    }

    void badText_data() {
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("madeBadAfter");  // 0: bad when the pass starts
        QTest::addColumn<QString>("text");
        QTest::newRow("empty bbox at the start") << "bbox" << 0 << "";
        QTest::newRow("letters in vbox at the start") << "vbox" << 0 << "abc";
        QTest::newRow("blank rbox at the start") << "rbox" << 0 << "  ";
        QTest::newRow("bbox emptied during column 3") << "bbox" << 3 << "";
        QTest::newRow("rbox typed over during column 1") << "rbox" << 1 << "18O";
    }
    void badText() {
        QFETCH(QString, box);
        QFETCH(QString, text);
        QFETCH(int, madeBadAfter);
        Fixture f(8, 5, rgb(100, 100, 100));
        QString &target = box == QLatin1String("rbox")   ? f.boxes.r
                          : box == QLatin1String("vbox") ? f.boxes.v
                                                         : f.boxes.b;
        if (madeBadAfter == 0)
            target = text;
        else
            f.step.at(madeBadAfter, [&] { target = text; });

        QCOMPARE(f.run(), 13);
        QVERIFY(f.module.Mask == f.before);
        QCOMPARE(f.step.columns.size(), size_t(madeBadAfter));
        for (int x = 1; x <= madeBadAfter; ++x)
            QVERIFY(f.columnPainted(x, kBlack));
        // The pixel that read the bad text was neither painted nor stored.
        QCOMPARE(f.picture.Point(madeBadAfter + 1, 2), rgb(100, 100, 100));
        QCOMPARE(f.module.WorkMask.at(madeBadAfter + 1, 2), f.before.at(madeBadAfter + 1, 2));
    }

    void pictureLowerThanThreeRows() {
        // Rows 2..1: no pixel is visited, so not even a bad text is read.
        Fixture f(6, 1, rgb(100, 100, 100));
        f.boxes.b = QStringLiteral("abc");
        QCOMPARE(f.run(), 0);
        QCOMPARE(f.step.columns, (std::vector<qint32>{1, 2, 3, 4, 5, 6}));
        QCOMPARE(f.step.progress, QStringLiteral("i=6"));
        QVERIFY(f.module.Mask == f.before);
        QCOMPARE(f.picture.image(), f.original.image());
    }

    void cancelAfterColumn10() {
        const int w = 16, h = 4;
        Fixture f(w, h, rgb(100, 100, 100));
        f.step.at(10, [&] { f.step.cancel = 1; });
        QCOMPARE(f.run(), 0);
        QCOMPARE(f.step.progress, QStringLiteral("i=10"));
        QCOMPARE(f.step.cancel, 0);
        for (int x = 1; x <= w; ++x) {
            if (x <= 10)
                QVERIFY(f.columnPainted(x, kBlack));
            else if (x < w)
                QVERIFY(f.columnPainted(x, rgb(100, 100, 100)));
            for (int y = 2; y <= h; ++y)
                QCOMPARE(f.module.Mask.at(x, y), x <= 10 || f.before.at(x, y));
        }
    }

    // Through the window: a letter typed into bbox while NB runs.
    void letterTypedIntoBoxDuringPass() {
        QTemporaryDir dir;
        const QString png = dir.filePath(QStringLiteral("grey.png"));
        QVERIFY(solidImage(20, 10, rgb(100, 100, 100)).save(png));
        QStringList messages;
        MessageBoxes::setHandler([&](QWidget *, const QString &text) { messages << text; });
        const auto restore = qScopeGuard([] { MessageBoxes::setHandler({}); });

        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(png));
        // The key press is posted when column 5 is done; the pump delivers it.
        connect(form.Progress, &QLineEdit::textChanged, &form, [&](const QString &text) {
            if (text == QLatin1String("i=5"))
                QCoreApplication::postEvent(
                    form.bbox, new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a"));
        });
        form.rgb2nb->click();

        QCOMPARE(form.bbox->text(), QStringLiteral("180a"));
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages.first().contains(QStringLiteral("13")));
        QVERIFY(messages.first().contains(QStringLiteral("bbox")));
        QCOMPARE(form.Progress->text(), QStringLiteral("i=5"));
        QCOMPARE(module.Mask.countBlack(), 0);
        QCOMPARE(form.Picture1->Point(5, 9), kBlack);
        QCOMPARE(form.Picture1->Point(5, 1), rgb(100, 100, 100));
        QCOMPARE(form.Picture1->Point(6, 2), rgb(100, 100, 100));
        QVERIFY(form.isVisible());
        QVERIFY(!form.passRunning());
    }
};

QTEST_MAIN(TestThreshold)
#include "test_threshold.moc"
