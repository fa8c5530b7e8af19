// The window and inkmask-batch give the same picture and mask, bit for bit:
// the real window (offscreen) runs the steps by its buttons, the batch code
// and the batch program run them on the same file, and the results are
// compared, the masks' cells beyond the drawing surface included.

#include "batch/batchrunner.h"
#include "batch/imagefiles.h"
#include "platform/messagebox.h"
#include "platform/picturebox.h"
#include "samplegen.h"
#include "shell/form1.h"
#include "support.h"

#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace ink;
using namespace ink::test;

namespace {

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
        QTest::addColumn<bool>("throughProgram");
        const QImage sample = makeSampleScan(800, 600, 3);
        QTest::newRow("1x1") << randomPicture(1, 1, 1) << "nb,bouchtrou,affine"
                             << "180,180,180" << true;
        QTest::newRow("5x5") << randomPicture(5, 5, 2) << "nb,bouchtrou,affine,affine"
                             << "180,180,180" << false;
        QTest::newRow("7x7") << randomPicture(7, 7, 3) << "nb,affine,bouchtrou"
                             << "180,180,180" << true;
        QTest::newRow("random 61x47") << randomPicture(61, 47, 4) << "nb,bouchtrou,affine,nb"
                                      << "150.5,220,255" << false;
        QTest::newRow("random 70x66, white read back at 255")
            << randomPicture(70, 66, 5) << "nb,affine,nb"
            << "255,255,255" << false;
        QTest::newRow("sample 260x190")
            << sample.copy(100, 80, 260, 190) << "nb,bouchtrou,affine,affine,bouchtrou"
            << "180,180,180" << true;
    }
    void sameAsWindow() {
        QFETCH(QImage, picture);
        QFETCH(QString, steps);
        QFETCH(QString, thresholds);
        QFETCH(bool, throughProgram);
        const QString input = m_dir.filePath(QStringLiteral("input.png"));
        QVERIFY(picture.save(input));

        // The window, by its buttons.
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(input));
        const QStringList t = thresholds.split(QLatin1Char(','));
        form.rbox->setText(t[0]);
        form.vbox->setText(t[1]);
        form.bbox->setText(t[2]);
        for (const QString &step : steps.split(QLatin1Char(','))) {
            QPushButton *button = step == QLatin1String("nb")          ? form.rgb2nb
                                  : step == QLatin1String("bouchtrou") ? form.bouchtrou
                                                                       : form.affine;
            button->click();
        }

        // The batch code on the same file.
        const ParsedArguments parsed =
            parseBatchArguments({QStringLiteral("inkmask-batch"), QStringLiteral("--steps"), steps,
                                 QStringLiteral("--thresholds"), thresholds,
                                 QStringLiteral("--mask"), QStringLiteral("m.png"), input},
                                1);
        QCOMPARE(parsed.action, ParsedArguments::Run);
        std::atomic<bool> interrupt{false};
        BatchRunner runner(parsed.options, interrupt);
        QImage read;
        QString error;
        QVERIFY(readImageFile(input, &read, &error));
        QVERIFY(runner.runSteps(read));
        QVERIFY(runner.model().Mask.toMaskArray() == module.Mask);
        QCOMPARE(runner.model().picture.image(), form.Picture1->image());

        if (throughProgram) {
            // And the program's files: the picture and the mask's visible cells.
            const QString out = m_dir.filePath(QStringLiteral("out.png"));
            const QString mask = m_dir.filePath(QStringLiteral("mask.png"));
            QCOMPARE(QProcess::execute(QStringLiteral(INKMASK_BATCH),
                                       {input, QStringLiteral("-o"), out, QStringLiteral("--mask"),
                                        mask, QStringLiteral("--steps"), steps,
                                        QStringLiteral("--thresholds"), thresholds}),
                     0);
            QCOMPARE(QImage(out).convertToFormat(QImage::Format_RGB32), form.Picture1->image());
            const QImage maskRead = QImage(mask).convertToFormat(QImage::Format_RGB32);
            for (int y = 0; y < picture.height(); ++y)
                for (int x = 0; x < picture.width(); ++x)
                    QCOMPARE(maskRead.pixel(x, y) == qRgb(0, 0, 0), module.Mask.at(x, y));
        }
    }
};

QTEST_MAIN(TestBatchWindow)
#include "test_batchwindow.moc"
