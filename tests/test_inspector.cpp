// The pixel inspector through the window: the information line, the cursor
// moved by the mouse and the arrow keys, the blink tick, and the zoomed view.

#include "image/colorvalue.h"
#include "inspector/inspector.h"
#include "platform/picturebox.h"
#include "shell/form1.h"
#include "support.h"

#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

using namespace ink;
using namespace ink::test;

namespace {

constexpr ColorValue kPlain = 0x204060;  // red 96, green 64, blue 32
const QString kPlainRgb = QStringLiteral("96 64 32");
const QString kNoPixelRgb = QStringLiteral("255 -65281 255");

QMouseEvent *mouseMoveEvent(QWidget *widget, QPointF pos) {
    return new QMouseEvent(QEvent::MouseMove, pos, widget->mapToGlobal(pos), Qt::NoButton,
                           Qt::NoButton, Qt::NoModifier);
}

// A pointer move with no button held, delivered straight to the widget.
void moveMouse(QWidget *widget, QPointF pos) {
    std::unique_ptr<QMouseEvent> event(mouseMoveEvent(widget, pos));
    QCoreApplication::sendEvent(widget, event.get());
}

void ctrlWheel(QWidget *widget, QPointF pos, int delta,
               Qt::KeyboardModifiers modifiers = Qt::ControlModifier) {
    QWheelEvent event(pos, widget->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton,
                      modifiers, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(widget, &event);
}

QString line(int x, int y, const QString &rgb, bool black) {
    return QStringLiteral("%1*%2   %3--%4")
        .arg(x)
        .arg(y)
        .arg(rgb, black ? QStringLiteral("True") : QStringLiteral("False"));
}

}  // namespace

class TestInspector : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_plain;  // 50 x 40 in kPlain, pixel (12, 34) coloured
    QString m_large;  // 300 x 200, for scrolling the zoomed view
    QString m_noisy;  // random colours, for the passes
    Module1 m_module;

    std::unique_ptr<Form1> open(const QString &path) {
        m_module = Module1();
        auto form = std::make_unique<Form1>(m_module);
        if (!form->Form_Load(path))
            return nullptr;
        return form;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        QImage plain = solidImage(50, 40, kPlain);
        plain.setPixel(12, 34, qRgb(200, 100, 50));
        m_plain = m_dir.filePath(QStringLiteral("plain.png"));
        QVERIFY(plain.save(m_plain));
        m_large = m_dir.filePath(QStringLiteral("large.png"));
        QVERIFY(solidImage(300, 200, kPlain).save(m_large));
        QImage noisy(60, 45, QImage::Format_RGB32);
        Rng rng(7);
        for (int y = 0; y < noisy.height(); ++y)
            for (int x = 0; x < noisy.width(); ++x)
                noisy.setPixel(x, y, qRgb(rng.below(256), rng.below(256), rng.below(256)));
        m_noisy = m_dir.filePath(QStringLiteral("noisy.png"));
        QVERIFY(noisy.save(m_noisy));
    }

    void colourSplit_data() {
        QTest::addColumn<int>("c");
        QTest::addColumn<int>("red");
        QTest::addColumn<int>("green");
        QTest::addColumn<int>("blue");
        QTest::newRow("colour") << 0x123456 << 0x56 << 0x34 << 0x12;
        QTest::newRow("white") << 0xFFFFFF << 255 << 255 << 255;
        QTest::newRow("no pixel") << -1 << 255 << -65281 << 255;
        QTest::newRow("blink colour") << -256 << 0 << -65281 << 255;
        QTest::newRow("top bit only") << int(0x80000000) << 0 << -8388608 << 0;
    }
    void colourSplit() {
        QFETCH(int, c);
        QFETCH(int, red);
        QFETCH(int, green);
        QFETCH(int, blue);
        const InspectorRGB rgb = inspectorSplit(c);
        QCOMPARE(int(rgb.red), red);
        QCOMPARE(rgb.green, green);
        QCOMPARE(int(rgb.blue), blue);
    }

    void lineForPointer_data() {
        QTest::addColumn<QPointF>("pos");
        QTest::addColumn<QString>("expected");
        QTest::newRow("coloured pixel, black in Mask")
            << QPointF(12, 34) << QStringLiteral("12*34   200 100 50--True");
        QTest::newRow("column W, beyond the surface")
            << QPointF(50, 3) << line(50, 3, kNoPixelRgb, false);
        QTest::newRow("row H, beyond the surface")
            << QPointF(0, 40) << line(0, 40, kNoPixelRgb, false);
        QTest::newRow("2.5 and 3.5 round to even")
            << QPointF(2.5, 3.5) << line(2, 4, kPlainRgb, false);
        QTest::newRow("-0.5 rounds to 0") << QPointF(-0.5, 0.49) << line(0, 0, kPlainRgb, false);
    }
    void lineForPointer() {
        QFETCH(QPointF, pos);
        QFETCH(QString, expected);
        auto form = open(m_plain);
        QVERIFY(form);
        m_module.Mask.set(12, 34, true);
        moveMouse(form->Picture1, pos);
        QCOMPARE(form->Text1->text(), expected);
    }

    void arrowKeys_data() {
        QTest::addColumn<QPoint>("start");
        QTest::addColumn<int>("key");
        QTest::addColumn<QPoint>("end");
        QTest::newRow("left at 0") << QPoint(0, 5) << int(Qt::Key_Left) << QPoint(0, 5);
        QTest::newRow("up at 0") << QPoint(5, 0) << int(Qt::Key_Up) << QPoint(5, 0);
        QTest::newRow("left") << QPoint(5, 5) << int(Qt::Key_Left) << QPoint(4, 5);
        QTest::newRow("up") << QPoint(5, 5) << int(Qt::Key_Up) << QPoint(5, 4);
        QTest::newRow("right onto W") << QPoint(49, 5) << int(Qt::Key_Right) << QPoint(50, 5);
        QTest::newRow("right at W") << QPoint(50, 5) << int(Qt::Key_Right) << QPoint(50, 5);
        QTest::newRow("down onto H") << QPoint(5, 39) << int(Qt::Key_Down) << QPoint(5, 40);
        QTest::newRow("down at H") << QPoint(5, 40) << int(Qt::Key_Down) << QPoint(5, 40);
        QTest::newRow("other key") << QPoint(5, 5) << int(Qt::Key_A) << QPoint(5, 5);
    }
    void arrowKeys() {
        QFETCH(QPoint, start);
        QFETCH(int, key);
        QFETCH(QPoint, end);
        auto form = open(m_plain);
        QVERIFY(form);
        moveMouse(form->Picture1, start);
        form->Text1->setText(QStringLiteral("before"));
        QTest::keyClick(form->Picture1, Qt::Key(key));
        QCOMPARE(QPoint(form->CursorX, form->CursorY), end);
        const bool beyond = end.x() == 50 || end.y() == 40;
        QCOMPARE(form->Text1->text(),
                 line(end.x(), end.y(), beyond ? kNoPixelRgb : kPlainRgb, false));
    }

    void startUpThenKey() {
        auto form = open(m_plain);
        QVERIFY(form);
        QCOMPARE(form->Text1->text(), QStringLiteral("Text1"));  // start-up writes no line
        QSignalSpy keys(form->Picture1, &PictureBox::keyDown);
        QTest::keyClick(form->Picture1, Qt::Key_Space);
        QCOMPARE(keys.size(), 1);
        QCOMPARE(form->Text1->text(), line(1, 1, kPlainRgb, false));
    }

    void pointerOutsideMaskKeepsLine() {
        auto form = open(m_plain);
        QVERIFY(form);
        moveMouse(form->Picture1, QPointF(4, 6));
        const QString shown = line(4, 6, kPlainRgb, false);
        QCOMPARE(form->Text1->text(), shown);

        // Dragged off to the left: the cursor keeps the position, the line stays.
        moveMouse(form->Picture1, QPointF(-2.6, 6));
        QCOMPARE(form->CursorX, -3);
        QCOMPARE(form->Text1->text(), shown);
        for (int expected : {-2, -1}) {
            QTest::keyClick(form->Picture1, Qt::Key_Right);
            QCOMPARE(form->CursorX, expected);
            QCOMPARE(form->Text1->text(), shown);
        }
        QTest::keyClick(form->Picture1, Qt::Key_Right);
        QCOMPARE(form->Text1->text(), line(0, 6, kPlainRgb, false));

        // Below the last mask row, then one step up back in.
        moveMouse(form->Picture1, QPointF(7, 41));
        QCOMPARE(form->Text1->text(), line(0, 6, kPlainRgb, false));
        QTest::keyClick(form->Picture1, Qt::Key_Up);
        QCOMPARE(form->Text1->text(), line(7, 40, kNoPixelRgb, false));
    }

    void lineDuringPass() {
        auto form = open(m_plain);
        QVERIFY(form);
        // Delivered by the event pump after the first column (x = 1): the
        // pixel is painted already, Mask is the one from before the pass.
        QCoreApplication::postEvent(form->Picture1, mouseMoveEvent(form->Picture1, QPointF(1, 2)));
        form->rgb2nb->click();
        QCOMPARE(form->Progress->text(), QStringLiteral("i=50"));
        QCOMPARE(form->Text1->text(), line(1, 2, QStringLiteral("0 0 0"), false));
        QVERIFY(m_module.Mask.at(1, 2));
    }

    void timerTick() {
        auto form = open(m_plain);
        QVERIFY(form);
        QVERIFY(!form->Timer1->isActive());
        form->CursorX = 5;
        form->CursorY = 7;
        form->Timer1_Timer();
        QCOMPARE(form->BlinkColor, qint16(-256));
        // 0xFFFFFF00: the picture keeps red, green and blue of it.
        QCOMPARE(form->Picture1->Point(5, 7), 0xFFFF00);
        QCOMPARE(form->clign->text(), QStringLiteral("2"));
        form->Timer1_Timer();
        QCOMPARE(form->BlinkColor, qint16(0));
        QCOMPARE(form->Picture1->Point(5, 7), kBlack);
        QCOMPARE(form->clign->text(), QStringLiteral("1"));

        // Outside the picture the caption still flips; nothing is painted.
        const QImage before = form->Picture1->image().copy();
        form->CursorX = -4;
        form->Timer1_Timer();
        QCOMPARE(form->clign->text(), QStringLiteral("2"));
        QCOMPARE(form->Picture1->image(), before);
    }

    void zoomMapsPointerToPixel_data() {
        QTest::addColumn<int>("factor");
        QTest::newRow("1") << 1;
        QTest::newRow("3") << 3;
        QTest::newRow("16") << 16;
    }
    void zoomMapsPointerToPixel() {
        QFETCH(int, factor);
        auto form = open(m_plain);
        QVERIFY(form);
        PictureBox *picture = form->Picture1;
        picture->setZoom(factor);
        QCOMPARE(picture->zoom(), factor);
        QCOMPARE(picture->size(), QSize(50, 40) * factor);
        QCOMPARE(picture->Width(), 50.0f);
        QCOMPARE(picture->Height(), 40.0f);

        QSignalSpy moves(picture, &PictureBox::mouseMove);
        if (factor == 1) {
            // The position goes through as it is; the handler rounds it.
            moveMouse(picture, QPointF(7.25, 3.75));
            QCOMPARE(moves.last().at(2).toFloat(), 7.25f);
            QCOMPARE(moves.last().at(3).toFloat(), 3.75f);
            QCOMPARE(QPoint(form->CursorX, form->CursorY), QPoint(7, 4));
            return;
        }
        for (const QPoint pixel : {QPoint(0, 0), QPoint(12, 34), QPoint(49, 39)}) {
            for (double dx : {0.0, 0.5, 1.0, factor / 2.0, factor - 1.0, factor - 0.25}) {
                const QPointF pos = QPointF(pixel * factor) + QPointF(dx, factor - 0.25 - dx);
                moveMouse(picture, pos);
                QCOMPARE(QPoint(form->CursorX, form->CursorY), pixel);
                QCOMPARE(moves.last().at(2).toFloat(), float(pixel.x()));
            }
        }
        moveMouse(picture, QPointF(12 * factor + 1, 34 * factor + 1));
        QCOMPARE(form->Text1->text(), QStringLiteral("12*34   200 100 50--False"));
    }

    void zoomedPixelsAreSquares() {
        auto form = open(m_plain);
        QVERIFY(form);
        PictureBox *picture = form->Picture1;
        picture->setZoom(3);
        picture->PSet(2, 1, kWhite);
        picture->Refresh();
        const QImage shown = picture->grab(QRect(0, 0, 15, 12)).toImage();
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x)
                QCOMPARE(shown.pixel(x, y) & 0xFFFFFF,
                         (x / 3 == 2 && y / 3 == 1) ? 0xFFFFFFu : 0x604020u);
    }

    void zoomKeysAndWheel() {
        auto form = open(m_large);
        QVERIFY(form);
        PictureBox *picture = form->Picture1;
        for (int expected : {2, 3, 4, 6, 8, 12, 16, 16}) {
            form->Text1->setText(QString());
            QTest::keyClick(picture, Qt::Key_Plus, Qt::ControlModifier);
            QCOMPARE(picture->zoom(), expected);
            QCOMPARE(form->Text1->text(), line(1, 1, kPlainRgb, false));  // the key rewrote it
        }
        QTest::keyClick(picture, Qt::Key_Minus, Qt::ControlModifier);
        QCOMPARE(picture->zoom(), 12);
        QTest::keyClick(picture, Qt::Key_0, Qt::ControlModifier);
        QCOMPARE(picture->zoom(), 1);
        QTest::keyClick(picture, Qt::Key_Minus, Qt::ControlModifier);
        QCOMPARE(picture->zoom(), 1);

        // The wheel zooms about the pointer: the image point under it stays.
        QWidget *viewport = form->pictureView->viewport();
        picture->setZoom(4);
        const QPoint under(250, 170);
        const auto imagePointUnder = [&] {
            return QPointF(picture->mapFrom(viewport, under)) / picture->zoom();
        };
        const QPointF pointUnder = imagePointUnder();
        for (int delta : {120, 120, -120, 240}) {
            ctrlWheel(picture, picture->mapFrom(viewport, under), delta);
            QCOMPARE(imagePointUnder(), pointUnder);
        }
        QCOMPARE(picture->zoom(), 12);
        QVERIFY(form->pictureView->horizontalScrollBar()->value() > 0);
        // Half notches add up; the wheel without Ctrl leaves the zoom.
        ctrlWheel(picture, QPointF(10, 10), -60);
        QCOMPARE(picture->zoom(), 12);
        ctrlWheel(picture, QPointF(10, 10), -60);
        QCOMPARE(picture->zoom(), 8);
        ctrlWheel(picture, QPointF(10, 10), 120, Qt::NoModifier);
        QCOMPARE(picture->zoom(), 8);
    }

    void zoomLeavesPassesUnchanged() {
        const auto runAll = [](Form1 &form) {
            form.rgb2nb->click();
            form.bouchtrou->click();
            form.affine->click();
        };
        auto form = open(m_noisy);
        QVERIFY(form);
        runAll(*form);
        const MaskArray mask = m_module.Mask;
        const QImage image = form->Picture1->image().copy();
        QVERIFY(mask.countBlack() > 0);

        form.reset();
        form = open(m_noisy);
        form->Picture1->setZoom(6);
        runAll(*form);
        QVERIFY(m_module.Mask == mask);
        QCOMPARE(form->Picture1->image(), image);
        QCOMPARE(form->Progress->text(), QStringLiteral("i=58"));
        QCOMPARE(form->Picture1->Width(), 60.0f);
        QCOMPARE(form->Picture1->size(), QSize(360, 270));
    }
};

QTEST_MAIN(TestInspector)
#include "test_inspector.moc"
