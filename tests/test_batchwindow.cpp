// The window and inkmask-batch give the same picture and mask, bit for bit:
// the real window (offscreen) runs the steps by its buttons, the batch
// program runs them on the same file, and the results are compared. (The
// masks' cells beyond the picture, which no file shows, are compared by
// test_kernels.)

#include "core/ops/passes.h"
#include "samplegen.h"
#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"
#include "support.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace ink;
using namespace ink::test;

namespace {

// A picture whose pixels match the mask's cells (black for ink, white else),
// of the mask's shape less its last column and row, as after a threshold pass.
QImage imageFromMask(const PackedMask &mask) {
    Sheet surface(solidImage(mask.upperX(), mask.upperY(), kWhite));
    for (qint32 x = 0; x < mask.upperX(); ++x)
        for (qint32 y = 0; y < mask.upperY(); ++y)
            surface.PSet(x, y, mask.at(x, y) ? kBlack : kWhite);
    return surface.image();
}

QImage randomPicture(int w, int h, quint64 seed) {
    Rng rng(seed);
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y,
                           rng.below(5) < 3 ? qRgb(20 + rng.below(170), 30, 40)
                                            : qRgb(230, 200 + rng.below(50), 250));
    return image;
}

}  // namespace

class TestBatchWindow : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        MessageBoxes::setHandler([](QWidget *, const QString &text) { QFAIL(qPrintable(text)); });
    }
    void cleanupTestCase() { MessageBoxes::setHandler({}); }

    void sameAsWindow_data() {
        QTest::addColumn<QImage>("picture");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("thresholds");
        const QString chain = passNames().join(QLatin1Char(','));
        const QString standard = QStringLiteral("180,180,180");
        QTest::newRow("1x1") << randomPicture(1, 1, 1) << chain << standard;
        QTest::newRow("5x5") << randomPicture(5, 5, 2) << chain + ",affine" << standard;
        QTest::newRow("7x7") << randomPicture(7, 7, 3) << "nb,affine,bouchtrou" << standard;
        QTest::newRow("random 61x47") << randomPicture(61, 47, 4) << chain + ",nb"
                                      << "150.5,220,255";
        QTest::newRow("random 70x66, white read back at 255")
            << randomPicture(70, 66, 5) << "nb,affine,nb"
            << "255,255,255";
        QTest::newRow("sample 260x190") << makeSampleScan(800, 600, 3).copy(100, 80, 260, 190)
                                        << chain + ",affine,bouchtrou" << standard;
    }
    void sameAsWindow() {
        QFETCH(QImage, picture);
        QFETCH(QString, steps);
        QFETCH(QString, thresholds);
        const QString input = m_dir.filePath(QStringLiteral("input.png"));
        QVERIFY(picture.save(input));

        // The window, by its buttons.
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(input));
        const QStringList t = thresholds.split(QLatin1Char(','));
        control<QLineEdit>(form, "rbox")->setText(t[0]);
        control<QLineEdit>(form, "vbox")->setText(t[1]);
        control<QLineEdit>(form, "bbox")->setText(t[2]);
        // Each pass's button, found by its caption.
        QHash<QString, QPushButton *> buttons;
        for (const PassEntry &entry : passRegistry()) {
            for (QPushButton *button : form.findChildren<QPushButton *>()) {
                if (button->text() == entry.caption)
                    buttons.insert(entry.name, button);
            }
            QVERIFY2(buttons.contains(entry.name), entry.caption.data());
        }
        for (const QString &step : steps.split(QLatin1Char(',')))
            buttons.value(step)->click();

        // The program on the same file: the picture, and the mask's cells.
        const QString out = m_dir.filePath(QStringLiteral("out.png"));
        const QString mask = m_dir.filePath(QStringLiteral("mask.png"));
        QCOMPARE(runBatch({input, "-o", out, "--mask", mask, "--steps", steps, "--thresholds",
                           thresholds})
                     .exitCode,
                 0);
        QCOMPARE(QImage(out).convertToFormat(QImage::Format_RGB32),
                 control<PictureBox>(form, "Picture1")->image());
        QCOMPARE(QImage(mask).convertToFormat(QImage::Format_RGB32), imageFromMask(module.Mask));
    }
};

QTEST_MAIN(TestBatchWindow)
#include "test_batchwindow.moc"
