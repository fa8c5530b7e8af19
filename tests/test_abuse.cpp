// Abuse during a pass, through the real window and its buttons: clicks, keys,
// typing and a file replaced, delivered by the pass's own event pump between
// two columns. After each, no pass runs, `Mask` equals `WorkMask` (unless the
// pass failed), both masks are the picture's size plus one, and the three
// passes work again on the picture then shown.

#include "core/image/columnpass.h"
#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"
#include "support.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace ink;
using namespace ink::test;

class TestAbuse : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_path;  // m_picture, rewritten by some rows
    QImage m_picture;
    QImage m_plainPicture;  // after NB on a window left alone
    PackedMask m_plainMask;
    QStringList m_messages;

    // What a row's letter does in the pump after column `column`.
    void act(Form1 &form, QChar action, qint32 column) {
        if (action == QLatin1Char('L') || action == QLatin1Char('S')) {
            const bool larger = action == QLatin1Char('L');
            QVERIFY(noiseImage(larger ? 90 : 20, larger ? 70 : 12, 5).save(m_path));
        }
        if (QStringLiteral("RLS").contains(action)) {
            control<QPushButton>(form, "Command1")->click();
        } else if (action == QLatin1Char('C')) {
            control<QCheckBox>(form, "ckbCancel")->click();
        } else if (action == QLatin1Char('X')) {
            form.close();
        } else if (action == QLatin1Char('T')) {
            control<QLineEdit>(form, "vbox")->setText(QStringLiteral("abc"));
        } else if (action == QLatin1Char('P')) {
            for (QPushButton *button :
                 {control<QPushButton>(form, "rgb2nb"), control<QPushButton>(form, "bouchtrou"),
                  control<QPushButton>(form, "affine")})
                button->click();
        } else if (action == QLatin1Char('K')) {
            const QPointF at(column % 50, column % 40);
            QMouseEvent move(QEvent::MouseMove, at, at, Qt::NoButton, Qt::NoButton, {});
            QCoreApplication::sendEvent(control<PictureBox>(form, "Picture1"), &move);
            QTest::keyClick(control<PictureBox>(form, "Picture1"),
                            column % 2 ? Qt::Key_Right : Qt::Key_Down);
            QTest::keyClick(control<PictureBox>(form, "Picture1"),
                            column % 3 ? Qt::Key_Plus : Qt::Key_Minus, Qt::ControlModifier);
        }
    }

    // The state every abuse must leave behind once the pass has ended.
    void checkIdle(Form1 &form, const Module1 &module) {
        QVERIFY(!form.passRunning());
        QVERIFY(module.Mask == module.WorkMask);
        QCOMPARE(module.Mask.upperX(), qint32(control<PictureBox>(form, "Picture1")->Width()));
        QCOMPARE(module.Mask.upperY(), qint32(control<PictureBox>(form, "Picture1")->Height()));
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_path = m_dir.filePath(QStringLiteral("scan.png"));
        MessageBoxes::setHandler([this](QWidget *, const QString &text) { m_messages << text; });
        MessageBoxes::setUnsavedHandler(
            [](QWidget *, const QString &) { return MessageBoxes::Unsaved::discard; });
        m_picture = noiseImage(60, 45, 11);
        QVERIFY(m_picture.save(m_path));
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(m_path));
        control<QPushButton>(form, "rgb2nb")->click();
        m_plainPicture = control<PictureBox>(form, "Picture1")->image();
        m_plainMask = module.Mask;
    }
    void init() {
        m_messages.clear();
        QVERIFY(m_picture.save(m_path));
    }
    void cleanupTestCase() {
        MessageBoxes::setHandler({});
        MessageBoxes::setUnsavedHandler({});
    }

    // NB with the row's actions, one letter each, in its pump after column
    // `column` (0: after every column). R Reload; L, S the file replaced by a
    // larger or smaller picture, then Reload: the pass stops there, even with
    // the box clicked off again, with the file's picture and white masks, and
    // the box ends unticked. C Cancel clicked. X close: the pass stops, copies
    // back what it did, and then the window closes. P the three pass buttons:
    // refused. K pointer, arrow and zoom keys: they only read. T "abc" put in
    // vbox: error 13 at the next column, reported once; the finished columns
    // stay painted and none of the pass reaches `Mask`. Else NB ends as if alone.
    void duringNb_data() {
        QTest::addColumn<QString>("actions");
        QTest::addColumn<int>("column");
        QTest::addColumn<int>("stop");  // the column where NB stops
        QTest::newRow("Reload twice") << "RR" << 5 << 5;
        QTest::newRow("Cancel, then Reload") << "CR" << 5 << 5;
        QTest::newRow("Reload, then Cancel") << "RC" << 5 << 5;
        QTest::newRow("Reload, Cancel, Reload, Cancel") << "RCRC" << 5 << 5;
        QTest::newRow("larger file") << "L" << 30 << 30;
        QTest::newRow("smaller file, past its width") << "S" << 30 << 30;
        QTest::newRow("larger file, Cancel clicked off") << "LC" << 30 << 30;
        QTest::newRow("smaller file, Cancel clicked off") << "SC" << 30 << 30;
        QTest::newRow("close") << "X" << 7 << 7;
        QTest::newRow("close twice") << "XX" << 7 << 7;
        QTest::newRow("close, then Reload") << "XR" << 7 << 7;
        QTest::newRow("Reload, then close") << "RX" << 7 << 7;
        QTest::newRow("pass buttons thrice, early") << "PPP" << 2 << 60;
        QTest::newRow("pass buttons thrice, late") << "PPP" << 59 << 60;
        QTest::newRow("bad threshold") << "T" << 10 << 10;
        QTest::newRow("pointer and keys after every column") << "K" << 0 << 60;
    }
    void duringNb() {
        QFETCH(QString, actions);
        QFETCH(int, column);
        QFETCH(int, stop);
        const bool reloaded = actions.contains(QRegularExpression(QStringLiteral("[RLS]")));
        const bool typed = actions.contains(QLatin1Char('T'));
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(m_path));
        for (qint32 c = column ? column : 1; c <= (column ? column : 60); ++c) {
            for (const QChar a : actions)
                atColumn(form, c, [this, &form, a, c] { act(form, a, c); });
        }
        control<QPushButton>(form, "rgb2nb")->click();
        QVERIFY2(m_messages.size() == int(typed), qPrintable(m_messages.join(QLatin1Char('|'))));
        QCOMPARE(control<QLineEdit>(form, "Progress")->text(), progressText(stop));
        QCOMPARE(form.cancelBoxValue(), 0);
        QCOMPARE(form.isVisible(), !actions.contains(QLatin1Char('X')));
        if (reloaded) {
            QCOMPARE(control<PictureBox>(form, "Picture1")->image(), QImage(m_path));
            QCOMPARE(module.Mask.countBlack() + module.WorkMask.countBlack(), 0);
        } else if (typed) {
            QVERIFY(control<QLabel>(form, "statusLine")
                        ->text()
                        .endsWith(QStringLiteral("NB stopped after column %1 by the error reported")
                                      .arg(stop)));
            QVERIFY2(m_messages.first().contains(QStringLiteral("'13'")) &&
                         m_messages.first().contains(QStringLiteral("vbox")),
                     qPrintable(m_messages.first()));
            QCOMPARE(module.Mask.countBlack(), 0);
            const ColorValue painted = control<PictureBox>(form, "Picture1")->Point(stop, 2);
            QVERIFY(painted == kBlack || painted == kWhite);
            QCOMPARE(control<PictureBox>(form, "Picture1")->image().pixel(stop + 1, 2),
                     m_picture.pixel(stop + 1, 2));
            control<QLineEdit>(form, "vbox")->setText(QStringLiteral("180"));
        } else if (stop < 60) {
            QVERIFY(module.Mask.countBlack() > 0);
        } else {
            QCOMPARE(control<PictureBox>(form, "Picture1")->image(), m_plainPicture);
            QVERIFY(module.Mask == m_plainMask);
        }
        if (!typed)
            checkIdle(form, module);
        if (actions.contains(QLatin1Char('K')))
            QVERIFY(control<QLineEdit>(form, "Text1")->text().contains(QLatin1String("--")));

        // Nothing was left queued or half done: each pass reaches its last
        // column, NB the picture's last, bouchtrou four before, affine two.
        const int width = control<PictureBox>(form, "Picture1")->image().width();
        const std::pair<QPushButton *, int> passes[] = {
            {control<QPushButton>(form, "rgb2nb"), 0},
            {control<QPushButton>(form, "bouchtrou"), 4},
            {control<QPushButton>(form, "affine"), 2}};
        for (const auto &[button, margin] : passes) {
            button->click();
            QCOMPARE(control<QLineEdit>(form, "Progress")->text(), progressText(width - margin));
            checkIdle(form, module);
        }
        QCOMPARE(m_messages.size(), int(typed));
    }
};

QTEST_MAIN(TestAbuse)
#include "test_abuse.moc"
