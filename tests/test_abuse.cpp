// Abuse during a pass, through the real window and its buttons: clicks, keys
// and typing delivered by the pass's own event pump, between two columns.
// After each, no pass runs, `Mask` equals `WorkMask` (for a pass that ended
// or was cancelled), and both masks are the picture's size plus one.

#include "image/columnpass.h"
#include "platform/messagebox.h"
#include "platform/picturebox.h"
#include "shell/form1.h"
#include "support.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace ink;
using namespace ink::test;

namespace {

// Runs `action` inside the event pump that follows column `column` of the
// next pass: it is posted when the progress box shows that column, so the
// pump delivers it the way it would deliver a click. Actions for the same
// column run in the order they were given.
void atColumn(Form1 &form, qint32 column, std::function<void()> action) {
    const QString text = progressText(column);
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection =
        QObject::connect(form.Progress, &QLineEdit::textChanged, &form,
                         [&form, text, action, connection](const QString &shown) {
                             if (shown != text)
                                 return;
                             QObject::disconnect(*connection);
                             QMetaObject::invokeMethod(&form, action, Qt::QueuedConnection);
                         });
}

QImage noisy(int w, int h, quint64 seed) {
    QImage image(w, h, QImage::Format_RGB32);
    Rng rng(seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(rng.below(256), rng.below(256), rng.below(256)));
    return image;
}

ColorValue colourOf(QRgb pixel) {
    return qRed(pixel) | (qGreen(pixel) << 8) | (qBlue(pixel) << 16);
}

// A pointer move with no button held, delivered straight to the widget.
void moveMouse(QWidget *widget, QPointF pos) {
    QMouseEvent event(QEvent::MouseMove, pos, widget->mapToGlobal(pos), Qt::NoButton, Qt::NoButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &event);
}

}  // namespace

class TestAbuse : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_path;  // 60 x 45 random colours, rewritten by some tests
    QImage m_picture;
    QStringList m_messages;

    std::unique_ptr<Form1> open(Module1 &module) {
        auto form = std::make_unique<Form1>(module);
        if (!form->Form_Load(m_path))
            return nullptr;
        return form;
    }

    // The state every abuse must leave behind once the pass has ended.
    void checkIdle(Form1 &form, const Module1 &module) {
        QVERIFY(!form.passRunning());
        QVERIFY(module.Mask == module.WorkMask);
        QCOMPARE(module.Mask.upperX(), qint32(form.Picture1->Width()));
        QCOMPARE(module.Mask.upperY(), qint32(form.Picture1->Height()));
    }

    // NB on a window left alone: the picture and `Mask` every undisturbed
    // run must give.
    std::pair<QImage, MaskArray> plainThreshold() {
        Module1 module;
        auto form = open(module);
        form->rgb2nb->click();
        return {form->Picture1->image(), module.Mask};
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("scan.png"));
        MessageBoxes::setHandler([this](QWidget *, const QString &text) { m_messages << text; });
    }
    void init() {
        m_messages.clear();
        m_picture = noisy(60, 45, 11);
        QVERIFY(m_picture.save(m_path));
    }
    void cleanupTestCase() { MessageBoxes::setHandler({}); }

    // Reload twice, and Cancel together with Reload in either order, all in
    // one pump: the pass stops after that column with the file's picture and
    // fresh masks, and the box ends unticked.
    void reloadAndCancelInOnePump_data() {
        QTest::addColumn<QString>("clicks");  // R: Reload, C: Cancel
        QTest::newRow("Reload twice") << "RR";
        QTest::newRow("Cancel, then Reload") << "CR";
        QTest::newRow("Reload, then Cancel") << "RC";
        QTest::newRow("Reload, Cancel, Reload, Cancel") << "RCRC";
    }
    void reloadAndCancelInOnePump() {
        QFETCH(QString, clicks);
        Module1 module;
        auto form = open(module);
        QVERIFY(form);
        for (const QChar c : clicks) {
            QAbstractButton *button = c == QLatin1Char('R')
                                          ? static_cast<QAbstractButton *>(form->Command1)
                                          : form->ckbCancel;
            atColumn(*form, 5, [button] { button->click(); });
        }
        form->rgb2nb->click();
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join(QLatin1Char('|'))));
        QCOMPARE(form->Progress->text(), QStringLiteral("i=5"));
        QCOMPARE(form->cancelBoxValue(), 0);
        QCOMPARE(module.Mask.countBlack() + module.WorkMask.countBlack(), 0);
        QCOMPARE(form->Picture1->image(), m_picture);
        checkIdle(*form, module);
    }

    // Pass buttons pressed again and again while NB runs: refused every time,
    // and NB ends exactly as it would have alone.
    void passButtonsClickedRepeatedly() {
        const auto [expectedPicture, expectedMask] = plainThreshold();
        Module1 module;
        auto form = open(module);
        QVERIFY(form);
        for (qint32 column : {2, 3, 30, 59}) {
            for (int i = 0; i < 3; ++i) {
                for (QPushButton *button : {form->rgb2nb, form->bouchtrou, form->affine})
                    atColumn(*form, column, [button] { button->click(); });
            }
        }
        form->rgb2nb->click();
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join(QLatin1Char('|'))));
        QCOMPARE(form->Progress->text(), QStringLiteral("i=60"));
        QCOMPARE(form->Picture1->image(), expectedPicture);
        QVERIFY(module.Mask == expectedMask);
        checkIdle(*form, module);
        // Nothing was queued: the buttons work again, one pass each.
        form->affine->click();
        QCOMPARE(form->Progress->text(), QStringLiteral("i=58"));
        checkIdle(*form, module);
    }

    // A threshold made bad by typing during NB: error 13 at the next column,
    // reported once; the finished columns stay painted, none of the pass
    // reaches `Mask`, and the window goes on working.
    void badThresholdTypedMidPass_data() {
        QTest::addColumn<QString>("typed");
        QTest::newRow("letters") << "abc";
        QTest::newRow("empty") << "";
        QTest::newRow("two separators") << "1.2.3";
    }
    void badThresholdTypedMidPass() {
        QFETCH(QString, typed);
        Module1 module;
        auto form = open(module);
        QVERIFY(form);
        QLineEdit *box = form->vbox;
        atColumn(*form, 10, [box, typed] {
            box->selectAll();
            QTest::keyClick(box, Qt::Key_Delete);
            QTest::keyClicks(box, typed);
        });
        form->rgb2nb->click();
        QCOMPARE(form->vbox->text(), typed);
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages.first().contains(QStringLiteral("'13'")),
                 qPrintable(m_messages.first()));
        QVERIFY2(m_messages.first().contains(QStringLiteral("vbox")),
                 qPrintable(m_messages.first()));
        QCOMPARE(form->Progress->text(), QStringLiteral("i=10"));
        QVERIFY(!form->passRunning());
        QCOMPARE(module.Mask.countBlack(), 0);
        const ColorValue painted = form->Picture1->Point(10, 2);
        QVERIFY(painted == kBlack || painted == kWhite);
        QCOMPARE(form->Picture1->Point(11, 2), colourOf(m_picture.pixel(11, 2)));

        m_messages.clear();
        form->vbox->setText(QStringLiteral("180"));
        form->rgb2nb->click();
        QVERIFY(m_messages.isEmpty());
        QCOMPARE(form->Progress->text(), QStringLiteral("i=60"));
        checkIdle(*form, module);
    }

    // Closing during a pass: the pass stops after that column, copies back
    // what it did, and only then does the window close.
    void closeMidPass_data() {
        QTest::addColumn<QString>("actions");  // X: close, R: Reload
        QTest::newRow("close") << "X";
        QTest::newRow("close twice") << "XX";
        QTest::newRow("close, then Reload") << "XR";
        QTest::newRow("Reload, then close") << "RX";
    }
    void closeMidPass() {
        QFETCH(QString, actions);
        Module1 module;
        auto form = open(module);
        QVERIFY(form);
        Form1 *window = form.get();
        for (const QChar c : actions) {
            atColumn(*form, 7, [window, c] {
                if (c == QLatin1Char('X'))
                    window->close();
                else
                    window->Command1->click();
            });
        }
        form->rgb2nb->click();
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join(QLatin1Char('|'))));
        QCOMPARE(form->Progress->text(), QStringLiteral("i=7"));
        QVERIFY(!form->isVisible());
        QCOMPARE(form->cancelBoxValue(), 0);
        const bool reloaded = actions.contains(QLatin1Char('R'));
        QCOMPARE(module.Mask.countBlack() > 0, !reloaded);
        checkIdle(*form, module);
    }

    // The file replaced by a larger or a smaller picture and reloaded during
    // NB (in a column beyond the smaller one's width): the pass stops there
    // with fresh masks of the new size, even when the Cancel box is clicked
    // off again in the same pump, and the next passes work on the new size.
    void reloadOfReplacedFileMidPass_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("untick");
        QTest::newRow("larger") << QSize(90, 70) << false;
        QTest::newRow("smaller") << QSize(20, 12) << false;
        QTest::newRow("larger, Cancel clicked off") << QSize(90, 70) << true;
        QTest::newRow("smaller, Cancel clicked off") << QSize(20, 12) << true;
    }
    void reloadOfReplacedFileMidPass() {
        QFETCH(QSize, size);
        QFETCH(bool, untick);
        Module1 module;
        auto form = open(module);
        QVERIFY(form);
        const QImage replacement = noisy(size.width(), size.height(), 5);
        Form1 *window = form.get();
        const QString path = m_path;
        atColumn(*form, 30, [window, replacement, path] {
            QVERIFY(replacement.save(path));
            window->Command1->click();
        });
        if (untick)
            atColumn(*form, 30, [window] { window->ckbCancel->click(); });
        form->rgb2nb->click();
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join(QLatin1Char('|'))));
        QCOMPARE(form->Progress->text(), QStringLiteral("i=30"));
        QCOMPARE(form->cancelBoxValue(), 0);
        QCOMPARE(form->Picture1->image(), replacement);
        QCOMPARE(module.Mask.upperX(), size.width());
        QCOMPARE(module.Mask.upperY(), size.height());
        QCOMPARE(module.Mask.countBlack() + module.WorkMask.countBlack(), 0);
        checkIdle(*form, module);

        form->rgb2nb->click();
        QCOMPARE(form->Progress->text(), progressText(size.width()));
        QVERIFY(module.Mask.countBlack() > 0);
        checkIdle(*form, module);
        form->bouchtrou->click();
        QCOMPARE(form->Progress->text(), progressText(size.width() - 4));
        checkIdle(*form, module);
        form->affine->click();
        QCOMPARE(form->Progress->text(), progressText(size.width() - 2));
        checkIdle(*form, module);
        QVERIFY(m_messages.isEmpty());
    }

    // Pointer moves, arrow keys and zoom keys between every two columns only
    // read: NB ends exactly as it would have alone.
    void inspectorAndZoomMidPass() {
        const auto [expectedPicture, expectedMask] = plainThreshold();
        Module1 module;
        auto form = open(module);
        QVERIFY(form);
        PictureBox *picture = form->Picture1;
        for (qint32 column = 1; column <= 60; ++column) {
            atColumn(*form, column, [picture, column] {
                moveMouse(picture, QPointF(column % 50, column % 40));
                QTest::keyClick(picture, column % 2 ? Qt::Key_Right : Qt::Key_Down);
                QTest::keyClick(picture, column % 3 ? Qt::Key_Plus : Qt::Key_Minus,
                                Qt::ControlModifier);
            });
        }
        form->rgb2nb->click();
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join(QLatin1Char('|'))));
        QCOMPARE(form->Progress->text(), QStringLiteral("i=60"));
        QCOMPARE(form->Picture1->image(), expectedPicture);
        QVERIFY(module.Mask == expectedMask);
        QVERIFY(form->Text1->text().contains(QLatin1String("--")));
        checkIdle(*form, module);
    }
};

QTEST_MAIN(TestAbuse)
#include "test_abuse.moc"
