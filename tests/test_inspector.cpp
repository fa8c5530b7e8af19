// The pixel inspector through the window: the information line after mouse
// moves and keys, the line during a pass, the blink tick, and the zoomed view.
// And the window's ways of judging a pass: the changes overlay (C), Compare
// (held Backslash) and undo and redo from the keyboard, at several scales;
// what is shown is grabbed from the picture box and compared with what the
// test works out from its own snapshots.

#include "core/inspector/inspector.h"
#include "core/session/history.h"
#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"
#include "support.h"

#include <QCursor>
#include <QKeySequence>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <vector>

using namespace ink;
using namespace ink::test;

namespace {

QMouseEvent *mouseMoveEvent(QWidget *widget, QPointF pos) {
    return new QMouseEvent(QEvent::MouseMove, pos, widget->mapToGlobal(pos), Qt::NoButton,
                           Qt::NoButton, Qt::NoModifier);
}

// A pointer move with no button held, delivered straight to the widget.
void moveMouse(QWidget *widget, QPointF pos) {
    std::unique_ptr<QMouseEvent> event(mouseMoveEvent(widget, pos));
    QCoreApplication::sendEvent(widget, event.get());
}

void wheel(QWidget *widget, QPointF pos, int delta, Qt::KeyboardModifiers modifiers) {
    QWheelEvent event(pos, widget->mapToGlobal(pos), QPoint(), QPoint(0, delta), Qt::NoButton,
                      modifiers, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(widget, &event);
}

// The line for a white cell of Mask at (x, y) in the 50 x 40 picture in
// 0x204060: column 50 and row 40 lie beyond it and read as no pixel (-1).
QString line(int x, int y) {
    const bool beyond = x >= 50 || y >= 40;
    return QStringLiteral("%1*%2   %3--False")
        .arg(x)
        .arg(y)
        .arg(beyond ? QStringLiteral("255 -65281 255") : QStringLiteral("96 64 32"));
}

// Colours about the thresholds, so that NB leaves dots and thin lines that
// affine then erases and bouchtrou fills.
QImage speckled(int w, int h) {
    Rng rng(7);
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, rng.below(3) ? qRgb(230, 220, 210) : qRgb(40, 60, 80));
    return image;
}

// The picture box's screen pixel (sx, sy) as the test expects it: `picture`
// at the box's scale, and over it the cells that differ between the masks,
// blue where `after` is black, vermillion where it is white; reduced, a
// screen pixel takes the colour of any change it covers, erased first.
QRgb expectedPixel(const PictureBox &box, const QImage &picture, const QImage &reduced,
                   const PackedMask *before, const PackedMask &after, int sx, int sy) {
    const int z = box.zoom(), n = box.reduction();
    const QRect cells =
        n > 1 ? QRect(sx * n, sy * n, n, n) & picture.rect() : QRect(sx / z, sy / z, 1, 1);
    bool filled = false, erased = false;
    for (int y = cells.top(); before && y <= cells.bottom(); ++y)
        for (int x = cells.left(); x <= cells.right(); ++x)
            if (before->at(x, y) != after.at(x, y))
                (after.at(x, y) ? filled : erased) = true;
    if (erased)
        return PictureBox::kErasedColor;
    if (filled)
        return PictureBox::kFilledColor;
    return (n > 1 ? reduced.pixel(sx, sy) : picture.pixel(sx / z, sy / z)) | 0xFF000000u;
}

}  // namespace

class TestInspector : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_plain;  // 50 x 40 in 0x204060, pixel (12, 34) coloured
    QString m_large;  // 300 x 200, for scrolling the zoomed view
    QString m_sheet;  // 3000 x 2000, larger than the view at 1
    QString m_noisy;  // 101 x 77 in random colours about the thresholds
    QString m_scan;   // speckled(67, 70)
    Module1 m_module;

    std::unique_ptr<Form1> open(const QString &path) {
        m_module = Module1();
        auto form = std::make_unique<Form1>(m_module);
        return form->Form_Load(path) ? std::move(form) : nullptr;
    }

    void checkShown(PictureBox *box, const QImage &picture, const PackedMask *before,
                    const PackedMask &after) {
        const QImage reduced =
            box->reduction() > 1 ? PictureBox::reduce(picture, box->reduction()) : QImage();
        const QImage shown = box->grab(QRect(QPoint(0, 0), box->size())).toImage();
        // The inspected pixel's outline is drawn over the picture.
        const QRect marker = box->marker() ? box->markerArea(*box->marker()) : QRect();
        for (int sy = 0; sy < shown.height(); ++sy)
            for (int sx = 0; sx < shown.width(); ++sx)
                if (!marker.contains(sx, sy) && (shown.pixel(sx, sy) | 0xFF000000u) !=
                    expectedPixel(*box, picture, reduced, before, after, sx, sy))
                    QFAIL(qPrintable(QStringLiteral("screen pixel %1, %2").arg(sx).arg(sy)));
    }

private Q_SLOTS:
    void initTestCase() {
        // The inspector reports nothing: any message box is a failure.
        MessageBoxes::setHandler([](QWidget *, const QString &text) { QFAIL(qPrintable(text)); });
        QImage plain = solidImage(50, 40, 0x204060);
        plain.setPixel(12, 34, qRgb(200, 100, 50));
        m_plain = m_dir.filePath(QStringLiteral("plain.png"));
        QVERIFY(plain.save(m_plain));
        m_large = m_dir.filePath(QStringLiteral("large.png"));
        QVERIFY(solidImage(300, 200, 0x204060).save(m_large));
        m_sheet = m_dir.filePath(QStringLiteral("sheet.png"));
        QVERIFY(solidImage(3000, 2000, 0x204060).save(m_sheet));
        QImage noisy(101, 77, QImage::Format_RGB32);
        Rng rng(13);
        for (int y = 0; y < noisy.height(); ++y)
            for (int x = 0; x < noisy.width(); ++x)
                noisy.setPixel(x, y, qRgb(120 + rng.below(120), 120 + rng.below(120), 170));
        m_noisy = m_dir.filePath(QStringLiteral("noisy.png"));
        QVERIFY(noisy.save(m_noisy));
        m_scan = m_dir.filePath(QStringLiteral("scan.png"));
        QVERIFY(speckled(67, 70).save(m_scan));
    }
    void cleanupTestCase() { MessageBoxes::setHandler({}); }

    // The line after a mouse move to `pos`, then a key if one is given. The
    // cursor is the pointer rounded half to even, never clamped; the arrows
    // step it and stop at 0 and at W and H, the masks' last cells, which lie
    // beyond the picture (no pixel: -1). Every key rewrites the line, and a
    // cursor outside Mask leaves it as it was. Only the arrow keys, on the
    // main block or the keypad, step the cursor: symbols and lock keys whose
    // Qt codes end in 0x25..0x28 must not, as each once did.
    void lineAfterInput_data() {
        QTest::addColumn<QPointF>("pos");
        QTest::addColumn<int>("key");  // 0: none; with Qt::KeypadModifier on the keypad
        QTest::addColumn<QPoint>("cursor");
        QTest::addColumn<QString>("text");
        const auto row = [](const char *name, QPointF pos, int key, QPoint cursor,
                            const QString &text) {
            QTest::newRow(name) << pos << key << cursor << text;
        };
        const int left = Qt::Key_Left, up = Qt::Key_Up, right = Qt::Key_Right, down = Qt::Key_Down;
        const int keypad = Qt::KeypadModifier;
        row("coloured pixel, black in Mask", {12, 34}, 0, {12, 34}, "12*34   200 100 50--True");
        row("halves to even", {2.5, 3.5}, 0, {2, 4}, line(2, 4));
        row("left of Mask", {-2.6, 6}, 0, {-3, 6}, "before");
        row("left", {5, 5}, left, {4, 5}, line(4, 5));
        row("left at 0", {0, 5}, left, {0, 5}, line(0, 5));
        row("up at 0", {5, 0}, up, {5, 0}, line(5, 0));
        row("right onto W", {49, 5}, right, {50, 5}, line(50, 5));
        row("right at W", {50, 5}, right, {50, 5}, line(50, 5));
        row("down onto H", {5, 39}, down, {5, 40}, line(5, 40));
        row("down at H", {5, 40}, down, {5, 40}, line(5, 40));
        row("other key", {5, 5}, Qt::Key_A, {5, 5}, line(5, 5));
        row("right, back in", {-1, 6}, right, {0, 6}, line(0, 6));
        row("up, back in", {7, 41}, up, {7, 40}, line(7, 40));
        for (const int key : {int(Qt::Key_Apostrophe), int(Qt::Key_Percent), int(Qt::Key_Ampersand),
                              int(Qt::Key_ParenLeft), int(Qt::Key_NumLock), int(Qt::Key_ScrollLock),
                              Qt::Key_4 | keypad})
            row(qPrintable(QKeySequence(key).toString()), {5, 5}, key, {5, 5}, line(5, 5));
        row("keypad left (Num Lock off)", {5, 5}, left | keypad, {4, 5}, line(4, 5));
        row("keypad down (Num Lock off)", {5, 5}, down | keypad, {5, 6}, line(5, 6));
    }
    void lineAfterInput() {
        QFETCH(QPointF, pos);
        QFETCH(int, key);
        QFETCH(QPoint, cursor);
        QFETCH(QString, text);
        auto form = open(m_plain);
        QVERIFY(form);
        m_module.Mask.set(12, 34, true);
        control<QLineEdit>(*form, "Text1")->setText(QStringLiteral("before"));
        moveMouse(control<PictureBox>(*form, "Picture1"), pos);
        if (key != 0) {
            control<QLineEdit>(*form, "Text1")->setText(QStringLiteral("before"));
            QTest::keyClick(control<PictureBox>(*form, "Picture1"),
                            Qt::Key(key & ~Qt::KeypadModifier),
                            Qt::KeyboardModifiers(key & Qt::KeypadModifier));
        }
        QCOMPARE(QPoint(form->CursorX, form->CursorY), cursor);
        QCOMPARE(control<QLineEdit>(*form, "Text1")->text(), text);
    }

    // The codes the key-down handler receives, at the ends of each run of the
    // classic table and where the keypad and the main keys differ.
    void classicKeyCodes_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<bool>("keypad");
        QTest::addColumn<int>("code");
        const auto row = [](const char *name, int key, bool keypad, int code) {
            QTest::newRow(name) << key << keypad << code;
        };
        row("A", Qt::Key_A, false, 65);
        row("Z", Qt::Key_Z, false, 90);
        row("0", Qt::Key_0, false, 48);
        row("9", Qt::Key_9, false, 57);
        row("keypad 0", Qt::Key_0, true, 96);
        row("keypad 9", Qt::Key_9, true, 105);
        row("F1", Qt::Key_F1, false, 112);
        row("F24", Qt::Key_F24, false, 135);
        row("keypad -", Qt::Key_Minus, true, 109);
        row("-", Qt::Key_Minus, false, 189);
        row("Enter", Qt::Key_Enter, true, 13);
        row("Shift+Tab", Qt::Key_Backtab, false, 9);
        row("Num Lock", Qt::Key_NumLock, false, 144);
        row("'", Qt::Key_Apostrophe, false, 222);
        row("%", Qt::Key_Percent, false, 0);
        row("F25", Qt::Key_F25, false, 0);
    }
    void classicKeyCodes() {
        QFETCH(int, key);
        QFETCH(bool, keypad);
        QFETCH(int, code);
        QCOMPARE(classicKeyCode(key, keypad ? Qt::KeypadModifier : Qt::NoModifier), code);
    }

    // A move delivered by the pump after NB's first column (x = 1) shows the
    // pixel already painted, with Mask as it was before the pass.
    void lineDuringPass() {
        auto form = open(m_plain);
        QVERIFY(form);
        QCoreApplication::postEvent(
            control<PictureBox>(*form, "Picture1"),
            mouseMoveEvent(control<PictureBox>(*form, "Picture1"), QPointF(1, 2)));
        control<QPushButton>(*form, "rgb2nb")->click();
        QCOMPARE(control<QLineEdit>(*form, "Progress")->text(), QStringLiteral("i=50"));
        QCOMPARE(control<QLineEdit>(*form, "Text1")->text(), QStringLiteral("1*2   0 0 0--False"));
        QVERIFY(m_module.Mask.at(1, 2));
    }

    // The tick paints the cursor pixel in -256 widened with its sign
    // (0xFFFFFF00), then black, and flips clign between "2" and "1".
    void timerTick() {
        auto form = open(m_plain);
        QVERIFY(form);
        form->CursorX = 5;
        form->CursorY = 7;
        for (const auto &[color, caption] : {std::pair(0xFFFF00, "2"), std::pair(kBlack, "1")}) {
            form->Timer1_Timer();
            QCOMPARE(control<PictureBox>(*form, "Picture1")->Point(5, 7), color);
            QCOMPARE(control<QPushButton>(*form, "clign")->text(), QString::fromLatin1(caption));
        }
    }

    // Zoomed, every screen pixel of an image pixel's square maps to that
    // pixel, Width and Height stay in image pixels, and each pixel is painted
    // as a whole square.
    void zoomedView() {
        auto form = open(m_plain);
        QVERIFY(form);
        PictureBox *picture = control<PictureBox>(*form, "Picture1");
        for (const int factor : {3, 16}) {
            picture->setZoom(factor);
            QCOMPARE(picture->size(), QSize(50, 40) * factor);
            QCOMPARE(picture->Width(), 50.0f);
            for (const QPoint pixel : {QPoint(0, 0), QPoint(12, 34), QPoint(49, 39)}) {
                for (double d : {0.0, 0.5, factor - 0.25}) {
                    moveMouse(picture, QPointF(pixel * factor) + QPointF(d, factor - 0.25 - d));
                    QCOMPARE(QPoint(form->CursorX, form->CursorY), pixel);
                }
            }
        }
        QCOMPARE(control<QLineEdit>(*form, "Text1")->text(), line(49, 39));
        picture->setZoom(3);
        m_module.picture.PSet(2, 1, kWhite);
        picture->refreshPixel(2, 1);
        const QImage shown = picture->grab(QRect(0, 0, 15, 12)).toImage();
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x)
                QCOMPARE(shown.pixel(x, y) & 0xFFFFFF,
                         (x / 3 == 2 && y / 3 == 1) ? 0xFFFFFFu : 0x604020u);
    }

    // Ctrl+Plus and Ctrl+Minus step through the zoom factors, stopping at 16
    // and at 1/16, Ctrl+0 goes back to 1, and the keys still reach the inspector
    // (start-up itself writes no line). The wheel with Ctrl zooms about the
    // pointer, one step per whole notch; without Ctrl it leaves the zoom.
    void zoomKeysAndWheel() {
        auto form = open(m_large);
        QVERIFY(form);
        PictureBox *picture = control<PictureBox>(*form, "Picture1");
        QCOMPARE(control<QLineEdit>(*form, "Text1")->text(), QStringLiteral("Text1"));
        for (int expected : {2, 3, 4, 6, 8, 12, 16, 16}) {
            QTest::keyClick(picture, Qt::Key_Plus, Qt::ControlModifier);
            QCOMPARE(picture->zoom(), expected);
        }
        QCOMPARE(control<QLineEdit>(*form, "Text1")->text(), line(1, 1));
        QTest::keyClick(picture, Qt::Key_Minus, Qt::ControlModifier);
        QCOMPARE(picture->zoom(), 12);
        QTest::keyClick(picture, Qt::Key_0, Qt::ControlModifier);
        QCOMPARE(picture->zoom(), 1);
        for (int expected : {2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64, 96, 128, 128}) {
            QTest::keyClick(picture, Qt::Key_Minus, Qt::ControlModifier);
            QCOMPARE(picture->reduction(), expected);
            QCOMPARE(picture->zoom(), 1);
            QCOMPARE(picture->size(),
                     QSize((300 + expected - 1) / expected, (200 + expected - 1) / expected));
        }
        QTest::keyClick(picture, Qt::Key_Plus, Qt::ControlModifier);
        QCOMPARE(picture->reduction(), 96);
        QTest::keyClick(picture, Qt::Key_0, Qt::ControlModifier);
        QCOMPARE(picture->reduction(), 1);
        QCOMPARE(picture->size(), QSize(300, 200));
        wheel(picture, QPointF(10, 10), -240, Qt::ControlModifier);
        QCOMPARE(picture->reduction(), 3);

        picture->setZoom(4);
        QWidget *viewport = control<QScrollArea>(*form, "pictureView")->viewport();
        const QPoint under(250, 170);
        const auto pointUnder = [&] {
            return QPointF(picture->mapFrom(viewport, under)) / picture->zoom();
        };
        const QPointF anchored = pointUnder();
        const std::pair<int, int> steps[] = {{120, 6}, {-60, 6}, {-60, 4}, {240, 8}};
        for (const auto &[delta, zoom] : steps) {
            wheel(picture, picture->mapFrom(viewport, under), delta, Qt::ControlModifier);
            QCOMPARE(picture->zoom(), zoom);
            QCOMPARE(pointUnder(), anchored);
        }
        // The keys zoom about the pointer too, when it is over the picture.
        QCursor::setPos(viewport->mapToGlobal(under));
        QTest::keyClick(picture, Qt::Key_Minus, Qt::ControlModifier);
        QCOMPARE(picture->zoom(), 6);
        QCOMPARE(pointUnder(), anchored);
        wheel(picture, QPointF(10, 10), 120, Qt::NoModifier);
        QCOMPARE(picture->zoom(), 6);
    }

    // Reduced to 1/n, the pointer over a screen pixel maps to the first of
    // the n x n image pixels it shows, to a later one for a position within
    // the screen pixel, and never beyond the picture's last column and row
    // (the 50 x 40 picture ends inside the last screen pixel at 1/3 and 1/4).
    void reducedViewMapsThePointer_data() {
        QTest::addColumn<int>("divisor");
        QTest::addColumn<QPointF>("pos");
        QTest::addColumn<QPoint>("pixel");
        const auto row = [](const char *name, int divisor, QPointF pos, QPoint pixel) {
            QTest::newRow(name) << divisor << pos << pixel;
        };
        row("1/2 origin", 2, {0, 0}, {0, 0});
        row("1/2 within", 2, {6.5, 17.5}, {13, 35});
        row("1/2 last", 2, {24.9, 19.9}, {49, 39});
        row("1/3 coloured", 3, {4, 11.4}, {12, 34});
        row("1/3 last full block", 3, {16, 13}, {48, 39});
        row("1/3 past the edge", 3, {16.9, 13.9}, {49, 39});
        row("1/4 past the edge", 4, {12.75, 9.75}, {49, 39});
        row("1/16 coloured", 16, {0.75, 2.125}, {12, 34});
        row("1/16 past the edge", 16, {3.99, 2.99}, {49, 39});
    }
    void reducedViewMapsThePointer() {
        QFETCH(int, divisor);
        QFETCH(QPointF, pos);
        QFETCH(QPoint, pixel);
        auto form = open(m_plain);
        QVERIFY(form);
        PictureBox *picture = control<PictureBox>(*form, "Picture1");
        picture->setReduction(divisor);
        QCOMPARE(picture->reduction(), divisor);
        QCOMPARE(picture->Width(), 50.0f);
        moveMouse(picture, pos);
        QCOMPARE(QPoint(form->CursorX, form->CursorY), pixel);
        const QString text = pixel == QPoint(12, 34) ? QStringLiteral("12*34   200 100 50--False")
                                                     : line(pixel.x(), pixel.y());
        QCOMPARE(control<QLineEdit>(*form, "Text1")->text(), text);
    }

    // Ctrl+9 picks a scale at which the whole picture shows with nothing to
    // scroll, and the next larger one would not (up to the zoom's limit of 16);
    // a sheet too long for 1/16 fits too, and only one too long even at 1/128
    // gets 1/128. The pointer still maps to
    // the right pixel, and the key still reaches the inspector.
    void fitShowsTheWholePicture_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("fits");
        QTest::addColumn<QPoint>("pixel");  // multiple of every divisor
        QTest::newRow("sheet, reduced") << QSize(3000, 2000) << true << QPoint(96, 144);
        QTest::newRow("small, enlarged") << QSize(50, 40) << true << QPoint(48, 0);
        QTest::newRow("too long for 1/16") << QSize(40000, 30) << true << QPoint(1536, 0);
        QTest::newRow("too long for 1/128") << QSize(400000, 3) << false << QPoint(3072, 0);
    }
    void fitShowsTheWholePicture() {
        QFETCH(QSize, size);
        QFETCH(bool, fits);
        QFETCH(QPoint, pixel);
        const QString path = m_dir.filePath(QStringLiteral("fit.png"));
        QVERIFY(solidImage(size.width(), size.height(), 0x204060).save(path));
        auto form = open(path);
        QVERIFY(form);
        PictureBox *picture = control<PictureBox>(*form, "Picture1");
        QScrollArea *view = control<QScrollArea>(*form, "pictureView");
        const auto scrolls = [&] {
            return view->horizontalScrollBar()->maximum() > 0 ||
                   view->verticalScrollBar()->maximum() > 0;
        };
        QTest::keyClick(picture, Qt::Key_9, Qt::ControlModifier);
        QCOMPARE(control<QLineEdit>(*form, "Text1")->text(), line(1, 1));
        QCOMPARE(scrolls(), !fits);
        moveMouse(picture, picture->zoomedRect(QRect(pixel, QSize(1, 1))).topLeft());
        QCOMPARE(QPoint(form->CursorX, form->CursorY), pixel);
        moveMouse(picture, QPointF(picture->width() - 0.001, picture->height() - 0.001));
        QCOMPARE(QPoint(form->CursorX, form->CursorY), QPoint(size.width() - 1, size.height() - 1));
        if (fits && picture->zoom() < 16) {
            QTest::keyClick(picture, Qt::Key_Plus, Qt::ControlModifier);
            QVERIFY(scrolls());
        }
        if (!fits)
            QCOMPARE(picture->reduction(), 128);
    }

    // A reduced screen pixel is the rounded mean of the image pixels it shows:
    // a one-pixel black line on white stays visible as grey, and a block cut
    // by the picture's right edge averages only the pixels that are there.
    void reducedViewAveragesArea_data() {
        QTest::addColumn<int>("divisor");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("lineX");
        QTest::addColumn<int>("grey");                      // at screen column lineX / divisor
        QTest::newRow("1/2") << 2 << 16 << 5 << 128;        // (255 + 1) / 2
        QTest::newRow("1/3") << 3 << 16 << 4 << 170;        // 2 * 255 / 3
        QTest::newRow("1/4") << 4 << 16 << 5 << 191;        // 3 * 255 / 4
        QTest::newRow("1/4 edge") << 4 << 17 << 16 << 0;    // the block's one column
        QTest::newRow("1/6 edge") << 6 << 16 << 15 << 191;  // 3 of 4 columns white
    }
    void reducedViewAveragesArea() {
        QFETCH(int, divisor);
        QFETCH(int, width);
        QFETCH(int, lineX);
        QFETCH(int, grey);
        QImage image = solidImage(width, 16, kWhite);
        for (int y = 0; y < image.height(); ++y)
            image.setPixel(lineX, y, qRgb(0, 0, 0));
        const Sheet sheet(image);
        PictureBox picture;
        picture.setSheet(&sheet);
        picture.setReduction(divisor);
        const QImage shown = picture.grab().toImage();
        QCOMPARE(shown.size(),
                 QSize((width + divisor - 1) / divisor, (16 + divisor - 1) / divisor));
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x)
                QCOMPARE(shown.pixel(x, y) & 0xFFFFFF,
                         x == lineX / divisor ? quint32(grey) * 0x010101u : 0xFFFFFFu);
    }

    // Passes work on image pixels whatever the view: the masks and the
    // picture come out the same at every scale, and a reduced view shows the
    // reduction of the picture as the passes left it, column by column.
    void passesAtEveryScale_data() {
        QTest::addColumn<int>("factor");
        QTest::addColumn<int>("divisor");
        QTest::newRow("4") << 4 << 1;
        QTest::newRow("1/2") << 1 << 2;
        QTest::newRow("1/3") << 1 << 3;
        QTest::newRow("1/16") << 1 << 16;
    }
    void passesAtEveryScale() {
        QFETCH(int, factor);
        QFETCH(int, divisor);
        const char *passes[] = {"rgb2nb", "bouchtrou", "affine"};
        auto reference = open(m_noisy);
        QVERIFY(reference);
        std::vector<PackedMask> masks;
        for (const char *pass : passes) {
            control<QPushButton>(*reference, pass)->click();
            masks.push_back(m_module.Mask);
        }
        const QImage painted = control<PictureBox>(*reference, "Picture1")->image();
        reference.reset();

        auto form = open(m_noisy);
        QVERIFY(form);
        PictureBox *picture = control<PictureBox>(*form, "Picture1");
        picture->setZoom(factor);
        picture->setReduction(divisor);
        if (divisor > 1) {
            // NB cancelled inside a block: blocks painted in part are shown
            // as their mean too. Taken back before the passes.
            atColumn(*form, 21, [&] { form->setCancelBoxValue(1); });
            control<QPushButton>(*form, "rgb2nb")->click();
            QCOMPARE(picture->grab().toImage().convertToFormat(QImage::Format_RGB32),
                     PictureBox::reduce(picture->image(), divisor));
            QVERIFY(form->Undo_Key());
        }
        for (size_t i = 0; i < std::size(passes); ++i) {
            control<QPushButton>(*form, passes[i])->click();
            QVERIFY2(m_module.Mask == masks[i], passes[i]);
            if (divisor > 1)
                QCOMPARE(picture->grab().toImage().convertToFormat(QImage::Format_RGB32),
                         PictureBox::reduce(picture->image(), divisor));
        }
        QCOMPARE(picture->image(), painted);
        // What reaches the screen is that reduction too.
        if (divisor > 1)
            QCOMPARE(picture->grab().toImage().convertToFormat(QImage::Format_RGB32),
                     PictureBox::reduce(painted, divisor));
    }

    // Reduced to 1/2 and 1/3, the arrows still step one image pixel, and the
    // view scrolls to keep the cursor pixel in sight.
    void arrowsStepOnePixelWhenReduced() {
        for (const int divisor : {2, 3}) {
            auto form = open(m_sheet);
            QVERIFY(form);
            PictureBox *picture = control<PictureBox>(*form, "Picture1");
            picture->setReduction(divisor);
            moveMouse(picture, QPointF(10, 10));
            QTest::keyClick(picture, Qt::Key_Right);
            QCOMPARE(QPoint(form->CursorX, form->CursorY), QPoint(10 * divisor + 1, 10 * divisor));
            form->CursorX = 2990;
            form->CursorY = 1990;
            QTest::keyClick(picture, Qt::Key_Down);
            QCOMPARE(QPoint(form->CursorX, form->CursorY), QPoint(2990, 1991));
            QVERIFY(picture->visibleRegion().boundingRect().contains(
                picture->zoomedRect(QRect(2990, 1991, 1, 1))));
        }
    }

    // A zoomed picture longer than a widget may be (QWIDGETSIZE_MAX) could not
    // be scrolled to its end: the zoom stops at the largest factor at which
    // the whole picture fits, by setZoom and by Ctrl+Plus alike; 1 always.
    void zoomStopsWhereThePictureStillFits_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("largest");
        QTest::newRow("2,000,000 wide") << QSize(2'000'000, 10) << 8;
        QTest::newRow("2,000,000 high") << QSize(10, 2'000'000) << 8;
        QTest::newRow("fits 16 exactly") << QSize(1'048'575, 1) << 16;
        QTest::newRow("one pixel more") << QSize(1'048'576, 1) << 12;
        QTest::newRow("beyond the limit at 1") << QSize(16'777'216, 1) << 1;
    }
    void zoomStopsWhereThePictureStillFits() {
        QFETCH(QSize, size);
        QFETCH(int, largest);
        const Sheet sheet(solidImage(size.width(), size.height(), kWhite));
        PictureBox picture;
        picture.setSheet(&sheet);
        picture.setZoom(16);
        QCOMPARE(picture.zoom(), largest);
        const QSize limit(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        QCOMPARE(picture.size(), (size * largest).boundedTo(limit));
        picture.setZoom(1);
        for (int i = 0; i < 8; ++i)
            QTest::keyClick(&picture, Qt::Key_Plus, Qt::ControlModifier);
        QCOMPARE(picture.zoom(), largest);
    }

    // Reload of a larger file at zoom 16 lowers the zoom, and the view
    // scrolls to the picture's last column.
    void reloadOfWidePictureLowersZoom() {
        // PNG holds no picture this wide; a 1-bit BMP keeps the file small.
        const auto saveWhite = [](QSize size, const QString &path) {
            return solidImage(size.width(), size.height(), kWhite)
                .convertToFormat(QImage::Format_Mono)
                .save(path, "BMP");
        };
        const QString path = m_dir.filePath(QStringLiteral("growing.bmp"));
        QVERIFY(saveWhite(QSize(50, 40), path));
        auto form = open(path);
        QVERIFY(form);
        control<PictureBox>(*form, "Picture1")->setZoom(16);
        QVERIFY(saveWhite(QSize(2'000'000, 10), path));
        control<QPushButton>(*form, "Command1")->click();
        QCOMPARE(control<PictureBox>(*form, "Picture1")->zoom(), 8);
        QCOMPARE(control<PictureBox>(*form, "Picture1")->width(), 16'000'000);
        QScrollBar *bar = control<QScrollArea>(*form, "pictureView")->horizontalScrollBar();
        QCOMPARE(bar->maximum() + control<QScrollArea>(*form, "pictureView")->viewport()->width(),
                 16'000'000);
    }

    void overlayCompareUndo() {
        for (const int zoom : {1, 3, -2, -3}) {
            Module1 module;
            Form1 form(module);
            QVERIFY(form.Form_Load(m_scan));
            PictureBox *box = control<PictureBox>(form, "Picture1");
            zoom > 0 ? box->setZoom(zoom) : box->setReduction(-zoom);
            form.rgb2nb_Click();
            const QImage afterNb = box->image();
            const PackedMask maskNb = module.Mask;
            form.affine_Click();
            const QImage afterAffine = box->image();
            const PackedMask maskAffine = module.Mask;

            // C shows the overlay, touching neither picture, mask nor the line.
            form.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&form));
            box->setFocus();
            QTest::keyClick(box, Qt::Key_Right);
            const QString line = control<QLineEdit>(form, "Text1")->text();
            checkShown(box, afterAffine, nullptr, maskAffine);
            QTest::keyClick(box, Qt::Key_C);
            QVERIFY(box->showChanges());
            checkShown(box, afterAffine, &maskNb, maskAffine);
            QCOMPARE(control<QLineEdit>(form, "Text1")->text(), line);
            QVERIFY(box->image() == afterAffine && module.Mask == maskAffine);
            const auto counts = [](const PackedMask &before, const PackedMask &after) {
                const auto [filled, erased] = changedCells(before, after);
                return changeCountsText(filled, erased);
            };
            for (const char *name : {"Progress", "Text1"})
                QVERIFY(
                    control<QWidget>(form, name)->toolTip().contains(counts(maskNb, maskAffine)));

            // Held Backslash shows the scan as loaded, the overlay off; released,
            // the picture and overlay again.
            QTest::keyPress(box, Qt::Key_Backslash);
            checkShown(box, speckled(67, 70), nullptr, maskAffine);
            QTest::keyRelease(box, Qt::Key_Backslash);
            checkShown(box, afterAffine, &maskNb, maskAffine);

            // Ctrl+Z takes affine back, the overlay then showing NB's changes;
            // Ctrl+Y and Ctrl+Shift+Z do it again.
            QTest::keyClick(box, Qt::Key_Z, Qt::ControlModifier);
            QVERIFY(box->image() == afterNb && module.Mask == maskNb);
            const PackedMask fresh = [&] {
                PackedMask m;
                m.allocate(67, 70);
                return m;
            }();
            checkShown(box, afterNb, &fresh, maskNb);
            QVERIFY(control<QWidget>(form, "Progress")->toolTip().contains(counts(fresh, maskNb)));
            QTest::keyClick(box, Qt::Key_Y, Qt::ControlModifier);
            QVERIFY(box->image() == afterAffine && module.Mask == maskAffine);
            QTest::keyClick(box, Qt::Key_Z, Qt::ControlModifier);
            QTest::keyClick(box, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
            QVERIFY(box->image() == afterAffine && module.Mask == maskAffine);
            QTest::keyClick(box, Qt::Key_C);
            checkShown(box, afterAffine, nullptr, maskAffine);
        }
    }
};

QTEST_MAIN(TestInspector)
#include "test_inspector.moc"
