// inkmask-batch end to end: exit codes, errors that let the other files go
// on, outputs that appear whole or not at all, Ctrl-C, and golden files.
//
// The golden inputs and their expected outputs live in tests/golden, checked
// byte for byte (the TIFF mask pixel for pixel, see below). The expected
// files were made with the per-pixel passes (the window's code) and
// the batch tool's writer; to make them again after a deliberate change:
//   INKMASK_UPDATE_GOLDEN=1 build/tests/test_batch goldenFiles

#include "batch/imagefiles.h"
#include "batch/options.h"
#include "image/imagesurface.h"
#include "ops/threshold.h"
#include "samplegen.h"
#include "support.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace ink;
using namespace ink::test;

namespace {

struct Run {
    int exitCode = -1;
    QString err;
};

Run runBatch(const QStringList &arguments, const QStringList &environment = {}) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &pair : environment)
        env.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(INKMASK_BATCH), arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardError())};
}

QByteArray contents(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The per-pixel passes, as the window runs them on a picture of its size.
void runReference(const QImage &input, const QString &steps, const QString &thresholdText,
                  QImage *picture, PackedMask *mask) {
    ImageSurface surface(input);
    Module1 module;
    module.Mask.allocate(input.width(), input.height());
    Thresholds thresholds;
    QVERIFY(parseThresholds(thresholdText, &thresholds));
    FixedThresholds source(thresholds);
    ScriptedStep step;
    for (const QString &name : steps.split(QLatin1Char(',')))
        runColumnPass(module, surface, step, *perPixelPass(name, source));
    *picture = surface.image();
    mask->assign(module.Mask);
}

QImage noisyPicture(int w, int h, quint64 seed) {
    Rng rng(seed);
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, rng.below(3) ? qRgb(30, 40, 60) : qRgb(240, 235, 220));
    return image;
}

struct GoldenCase {
    const char *name;
    const char *input;
    const char *steps;
    const char *thresholds;
    const char *maskSuffix;
};

const GoldenCase kGolden[] = {
    {"plan", "plan-160x120.png", "nb,bouchtrou,affine", "180,180,180", "png"},
    {"specks", "specks-40x30.png", "nb,bouchtrou,affine,affine,bouchtrou", "180.5,90,255", "png"},
    {"one-pixel", "one-1x1.png", "nb,bouchtrou,affine", "180,180,180", "png"},
    {"seven", "seven-7x7.png", "nb,bouchtrou,affine,affine", "180,180,180", "png"},
    {"tiff", "scan-33x65.tif", "nb,affine,bouchtrou", "180,180,180", "tif"},
};

}  // namespace

class TestBatch : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_plan;   // a small sample plan
    QString m_plan2;  // another one

    QString path(const QString &name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_plan = path(QStringLiteral("plan.png"));
        m_plan2 = path(QStringLiteral("plan2.png"));
        QVERIFY(makeSampleScan(120, 90, 5).save(m_plan));
        QVERIFY(makeSampleScan(90, 120, 6).save(m_plan2));
    }

    // Bad options are refused with the usage before any file is read: the
    // input named does not exist, and no "cannot read" appears.
    void badOptionsGiveUsage_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("thresholds") << QStringList{"--thresholds", "180,180", "-o", "o.png"};
        QTest::newRow("comma decimal") << QStringList{"--thresholds", "180,5,1,1", "-o", "o.png"};
        QTest::newRow("exponent") << QStringList{"--thresholds", "1e2,1,1", "-o", "o.png"};
        QTest::newRow("word") << QStringList{"--thresholds", "nan,1,1", "-o", "o.png"};
        QTest::newRow("step") << QStringList{"--steps", "nb,clean", "-o", "o.png"};
        QTest::newRow("option") << QStringList{"--fast", "-o", "o.png"};
        QTest::newRow("jobs") << QStringList{"-j", "0", "-o", "o.png"};
        QTest::newRow("format") << QStringList{"-o", "o.jpg"};
        QTest::newRow("nothing to write") << QStringList{"--steps", "nb"};
        QTest::newRow("-o with two inputs") << QStringList{"-o", "o.png", "other.png"};
        QTest::newRow("same folder twice")
            << QStringList{"--output-dir", "out", "--mask-dir", "out"};
    }
    void badOptionsGiveUsage() {
        QFETCH(QStringList, arguments);
        const Run run = runBatch(arguments << path(QStringLiteral("absent.png")));
        QCOMPARE(run.exitCode, 2);
        QVERIFY(run.err.contains(QStringLiteral("Usage: inkmask-batch")));
        QVERIFY(!run.err.contains(QStringLiteral("cannot read")));
    }

    void helpAndVersion() {
        QCOMPARE(runBatch({QStringLiteral("--help")}).exitCode, 0);
        QCOMPARE(runBatch({QStringLiteral("--version")}).exitCode, 0);
    }

    // The files of a folder, several threads, with one unreadable input among
    // them: the others are written, whole, and the run ends with status 1.
    void unreadableInputLetsOthersGoOn() {
        const QString broken = path(QStringLiteral("broken.png"));
        QFile f(broken);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("\x89PNG\r\n\x1a\n not a picture");
        f.close();
        const QString out = path(QStringLiteral("out"));
        const QString masks = path(QStringLiteral("masks"));  // made by the run
        const Run run =
            runBatch({QStringLiteral("-j"), QStringLiteral("2"), m_plan, broken, m_plan2,
                      QStringLiteral("--output-dir"), out, QStringLiteral("--mask-dir"), masks});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(broken + QStringLiteral(": cannot read: ")), qPrintable(run.err));
        QVERIFY(!run.err.contains(QLatin1Char('\r')));  // no progress line: not a terminal
        QCOMPARE(QDir(out).entryList(QDir::Files),
                 (QStringList{QStringLiteral("plan.png"), QStringLiteral("plan2.png")}));
        QCOMPARE(QDir(masks).entryList(QDir::Files),
                 (QStringList{QStringLiteral("plan.png"), QStringLiteral("plan2.png")}));

        // Same files as one thread, one input at a time, would write.
        const QString single = path(QStringLiteral("single.png"));
        const QString singleMask = path(QStringLiteral("single-mask.png"));
        QCOMPARE(runBatch({m_plan2, QStringLiteral("-o"), single, QStringLiteral("--mask"),
                           singleMask, QStringLiteral("-j"), QStringLiteral("1")})
                     .exitCode,
                 0);
        QCOMPARE(contents(out + QStringLiteral("/plan2.png")), contents(single));
        QCOMPARE(contents(masks + QStringLiteral("/plan2.png")), contents(singleMask));
    }

    // An output that cannot be written is reported with its name; nothing is
    // left half-written, and a good file already there stays as it was.
    void unwritableOutputLeavesNothingBehind() {
        const QString folder = path(QStringLiteral("target"));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/taken.png")));  // a folder in the way
        const QString good = folder + QStringLiteral("/good.png");
        QVERIFY(solidImage(3, 3, 0x123456).save(good));
        const QByteArray before = contents(good);
        const QString notAFolder = good + QStringLiteral("/mask.png");

        const Run run =
            runBatch({m_plan, QStringLiteral("-o"), folder + QStringLiteral("/taken.png"),
                      QStringLiteral("--mask"), notAFolder});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(folder + QStringLiteral("/taken.png: cannot write: ")),
                 qPrintable(run.err));
        QVERIFY(run.err.contains(notAFolder + QStringLiteral(": cannot write: ")));
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 (QStringList{QStringLiteral("good.png"), QStringLiteral("taken.png")}));

        // An input that cannot be read does not touch the output either.
        QCOMPARE(
            runBatch({path(QStringLiteral("absent.png")), QStringLiteral("-o"), good}).exitCode, 1);
        QCOMPARE(contents(good), before);
    }

    // The thresholds are read the same in a locale with a decimal comma.
    void thresholdsIgnoreLocale() {
        const QString c = path(QStringLiteral("c.png"));
        const QString de = path(QStringLiteral("de.png"));
        const QStringList common{m_plan, QStringLiteral("--thresholds"),
                                 QStringLiteral("150.5,200,90.25"), QStringLiteral("-o")};
        QCOMPARE(runBatch(QStringList(common) << c, {QStringLiteral("LC_ALL=C")}).exitCode, 0);
        QCOMPARE(
            runBatch(QStringList(common) << de, {QStringLiteral("LC_ALL=de_DE.UTF-8")}).exitCode,
            0);
        QCOMPARE(contents(c), contents(de));
    }

    // Ctrl-C: the running pass stops at its next column, nothing of the file
    // is written, and the status is 130.
    void interruptStopsAndWritesNothing() {
        const QString big = path(QStringLiteral("big.png"));
        QVERIFY(noisyPicture(1500, 1500, 9).save(big));
        const QString out = path(QStringLiteral("interrupted.png"));
        QStringList steps;
        for (int i = 0; i < 3000; ++i)
            steps << QStringLiteral("nb,affine");
        QProcess process;
        process.start(QStringLiteral(INKMASK_BATCH),
                      {big, QStringLiteral("-o"), out, QStringLiteral("--steps"),
                       steps.join(QLatin1Char(','))});
        QVERIFY(process.waitForStarted());
        QTest::qWait(1000);
        QCOMPARE(process.state(), QProcess::Running);
        ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 130);
        QVERIFY(!QFile::exists(out));
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("interrupted*")}), QStringList());
    }

    // Small committed inputs, and the expected files byte for byte.
    void goldenFiles() {
        const QDir golden(QStringLiteral(INKMASK_GOLDEN_DIR));
        const bool update = qEnvironmentVariableIntValue("INKMASK_UPDATE_GOLDEN") == 1;
        if (update)
            makeGoldenInputs(golden);
        for (const GoldenCase &c : kGolden) {
            const QString input = golden.filePath(QLatin1String(c.input));
            const QString expectedPicture =
                golden.filePath(QLatin1String(c.name) + QStringLiteral(".picture.png"));
            const QString expectedMask = golden.filePath(
                QLatin1String(c.name) + QStringLiteral(".mask.") + QLatin1String(c.maskSuffix));
            QString error;
            QImage picture;
            PackedMask mask;
            runReference(QImage(input), QLatin1String(c.steps), QLatin1String(c.thresholds),
                         &picture, &mask);
            if (update) {
                QVERIFY(writeImageFile(picture, expectedPicture, &error));
                QVERIFY(writeImageFile(maskImage(mask, picture), expectedMask, &error));
            }
            const QString outPicture = path(QLatin1String(c.name) + QStringLiteral(".png"));
            const QString outMask = path(QLatin1String(c.name) + QStringLiteral("-mask.") +
                                         QLatin1String(c.maskSuffix));
            const Run run =
                runBatch({input, QStringLiteral("-o"), outPicture, QStringLiteral("--mask"),
                          outMask, QStringLiteral("--steps"), QLatin1String(c.steps),
                          QStringLiteral("--thresholds"), QLatin1String(c.thresholds)});
            QCOMPARE(run.exitCode, 0);
            QVERIFY2(contents(outPicture) == contents(expectedPicture), c.name);
            if (QLatin1String(c.maskSuffix) == QLatin1String("png")) {
                QVERIFY2(contents(outMask) == contents(expectedMask), c.name);
            } else {
                // Qt's TIFF writer leaves the bits past a 1-bit line's last
                // pixel undefined: the same mask gives other bytes there.
                const QImage read(outMask);
                QCOMPARE(read.depth(), 1);
                QCOMPARE(read.convertToFormat(QImage::Format_RGB32),
                         QImage(expectedMask).convertToFormat(QImage::Format_RGB32));
            }
            // And what the files hold is what the per-pixel passes give today.
            QCOMPARE(QImage(expectedPicture).convertToFormat(QImage::Format_RGB32),
                     picture.convertToFormat(QImage::Format_RGB32));
        }
    }

private:
    void makeGoldenInputs(const QDir &golden) {
        QVERIFY(golden.mkpath(QStringLiteral(".")));
        // Crops of a sample plan: at these sizes the generator draws nothing.
        const QImage plan = makeSampleScan(800, 600, 11);
        QVERIFY(
            plan.copy(40, 30, 160, 120).save(golden.filePath(QStringLiteral("plan-160x120.png"))));
        QVERIFY(noisyPicture(40, 30, 4).save(golden.filePath(QStringLiteral("specks-40x30.png"))));
        QVERIFY(solidImage(1, 1, 0x102030).save(golden.filePath(QStringLiteral("one-1x1.png"))));
        QVERIFY(noisyPicture(7, 7, 8).save(golden.filePath(QStringLiteral("seven-7x7.png"))));
        QVERIFY(
            plan.copy(300, 200, 33, 65).save(golden.filePath(QStringLiteral("scan-33x65.tif"))));
    }
};

QTEST_MAIN(TestBatch)
#include "test_batch.moc"
