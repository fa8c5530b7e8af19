// inkmask-batch end to end: exit codes, errors that let the other files go
// on, outputs that appear whole or not at all, Ctrl-C, and golden files.
//
// The golden inputs (crops of a sample plan, seeded noise) and their expected
// outputs live in tests/golden, checked byte for byte (the TIFF mask pixel for
// pixel, see below). That the passes give what the window gives is proven by
// test_kernels and test_batchwindow; after a deliberate change of the output,
// this writes the expected files again:
//   INKMASK_UPDATE_GOLDEN=1 build/tests/test_batch goldenFiles

#include "samplegen.h"
#include "support.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

#include <sys/resource.h>

using namespace ink;
using namespace ink::test;

namespace {

struct Run {
    int exitCode = -1;  // -1: it crashed or did not end
    QString err;
};

// Runs inkmask-batch in a locale with a decimal comma, where the thresholds
// must be read as anywhere else. Files it writes may not grow past
// `fileSizeLimit` bytes (0: no limit), as on a disk that is full.
Run runBatch(const QStringList &arguments, int fileSizeLimit = 0) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
    process.setProcessEnvironment(env);
    if (fileSizeLimit > 0) {
        process.setChildProcessModifier([fileSizeLimit] {
            const rlimit limit{rlim_t(fileSizeLimit), rlim_t(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
            signal(SIGXFSZ, SIG_IGN);
        });
    }
    process.start(QStringLiteral(INKMASK_BATCH), arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardError())};
}

QByteArray contents(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class TestBatch : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_plan;  // a small sample plan

    QString path(const QString &name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_plan = path(QStringLiteral("plan.png"));
        QVERIFY(makeSampleScan(120, 90, 5).save(m_plan));
        QVERIFY(QDir().mkpath(path(QStringLiteral("target/taken.png"))));  // a folder in the way
        QVERIFY(solidImage(3, 3, 0x123456).save(path(QStringLiteral("target/good.png"))));
    }

    // Options are dealt with before any file is read (the input named does
    // not exist): bad ones with the usage and status 2, --help and --version
    // with status 0.
    void optionsBeforeAnyFile_data() {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("thresholds") << "--thresholds 180,180 -o o.png" << 2;
        QTest::newRow("comma decimal") << "--thresholds 180,5,1,1 -o o.png" << 2;
        QTest::newRow("exponent") << "--thresholds 1e2,1,1 -o o.png" << 2;
        QTest::newRow("word") << "--thresholds nan,1,1 -o o.png" << 2;
        QTest::newRow("step") << "--steps nb,clean -o o.png" << 2;
        QTest::newRow("option") << "--fast -o o.png" << 2;
        QTest::newRow("jobs") << "-j 0 -o o.png" << 2;
        QTest::newRow("format") << "-o o.jpg" << 2;
        QTest::newRow("nothing to write") << "--steps nb" << 2;
        QTest::newRow("-o with two inputs") << "-o o.png other.png" << 2;
        QTest::newRow("same folder twice") << "--output-dir out --mask-dir out" << 2;
        QTest::newRow("help") << "--help" << 0;
        QTest::newRow("version") << "--version" << 0;
    }
    void optionsBeforeAnyFile() {
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        const Run run =
            runBatch(arguments.split(QLatin1Char(' ')) << path(QStringLiteral("absent.png")));
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.err.contains(QStringLiteral("Usage: inkmask-batch")), exitCode == 2);
        QVERIFY(!run.err.contains(QStringLiteral("cannot read")));
    }

    // Files of a folder, two threads, with one unreadable input among them:
    // the others are written, whole and as alone (as their golden files),
    // and the run ends with status 1.
    void unreadableInputLetsOthersGoOn() {
        const QDir golden(QStringLiteral(INKMASK_GOLDEN_DIR));
        const QString broken = QStringLiteral(INKMASK_BATCH);  // no picture
        const QString out = path(QStringLiteral("out"));
        const QString masks = path(QStringLiteral("masks"));  // made by the run
        const Run run = runBatch({"-j", "2", golden.filePath(QStringLiteral("plan-160x120.png")),
                                  broken, golden.filePath(QStringLiteral("one-1x1.png")),
                                  "--output-dir", out, "--mask-dir", masks});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(broken + QStringLiteral(": cannot read: ")), qPrintable(run.err));
        QVERIFY(!run.err.contains(QLatin1Char('\r')));  // no progress line: not a terminal
        const QStringList written{"one-1x1.png", "plan-160x120.png"};
        QCOMPARE(QDir(out).entryList(QDir::Files), written);
        QCOMPARE(QDir(masks).entryList(QDir::Files), written);
        QCOMPARE(contents(out + QStringLiteral("/plan-160x120.png")),
                 contents(golden.filePath(QStringLiteral("plan.picture.png"))));
        QCOMPARE(contents(masks + QStringLiteral("/plan-160x120.png")),
                 contents(golden.filePath(QStringLiteral("plan.mask.png"))));
    }

    // An output that cannot be written whole, or an input that cannot be
    // read: status 1, the file named, and no file left half-written or
    // temporary; a good file already there stays as it was.
    void failedFileLeavesNothingBehind_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("fileSizeLimit");
        const QString taken = path(QStringLiteral("target/taken.png"));
        const QString good = path(QStringLiteral("target/good.png"));
        const QString underFile = good + QStringLiteral("/mask.png");
        const QString absent = path(QStringLiteral("absent.png"));
        QTest::newRow("folder in the way")
            << QStringList{m_plan, "-o", taken} << taken + ": cannot write: " << 0;
        QTest::newRow("mask under a file")
            << QStringList{m_plan, "--mask", underFile} << underFile + ": cannot write: " << 0;
        QTest::newRow("disk full")
            << QStringList{m_plan, "-o", good} << good + ": cannot write: " << 64;
        QTest::newRow("unreadable input")
            << QStringList{absent, "-o", good} << absent + ": cannot read: " << 0;
    }
    void failedFileLeavesNothingBehind() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QFETCH(int, fileSizeLimit);
        const QDir folder(path(QStringLiteral("target")));
        const QByteArray before = contents(folder.filePath(QStringLiteral("good.png")));
        const Run run = runBatch(arguments, fileSizeLimit);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QCOMPARE(folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 (QStringList{"good.png", "taken.png"}));
        QCOMPARE(contents(folder.filePath(QStringLiteral("good.png"))), before);
    }

    // Ctrl-C: the running pass stops at its next column, nothing of the file
    // is written, and the status is 130.
    void interruptStopsAndWritesNothing() {
        const QString big = path(QStringLiteral("big.png"));
        QVERIFY(makeSampleScan(1500, 1500, 9).save(big));
        const QString out = path(QStringLiteral("interrupted.png"));
        const QString steps = QStringList(3000, QStringLiteral("nb,affine")).join(QLatin1Char(','));
        QProcess process;
        process.start(QStringLiteral(INKMASK_BATCH), {big, "-o", out, "--steps", steps});
        QVERIFY(process.waitForStarted());
        QTest::qWait(1000);
        QCOMPARE(process.state(), QProcess::Running);
        ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 130);
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("interrupted*")}), QStringList());
    }

    // Small committed inputs, and the expected files byte for byte.
    void goldenFiles_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("thresholds");
        QTest::newRow("plan") << "plan-160x120.png"
                              << "nb,bouchtrou,affine"
                              << "180,180,180";
        QTest::newRow("noise") << "noise-40x30.png"
                               << "nb,bouchtrou,affine,affine,bouchtrou"
                               << "180.5,90,255";
        QTest::newRow("one-pixel") << "one-1x1.png"
                                   << "nb,bouchtrou,affine"
                                   << "180,180,180";
        QTest::newRow("seven") << "seven-7x7.png"
                               << "nb,bouchtrou,affine,affine"
                               << "180,180,180";
        QTest::newRow("tiff") << "scan-33x65.tif"
                              << "nb,affine,bouchtrou"
                              << "180,180,180";
    }
    void goldenFiles() {
        QFETCH(QString, input);
        QFETCH(QString, steps);
        QFETCH(QString, thresholds);
        const QDir golden(QStringLiteral(INKMASK_GOLDEN_DIR));
        const QString name = QString::fromUtf8(QTest::currentDataTag());
        const QString suffix = QFileInfo(input).suffix();  // the mask's, as the input's
        const QString expectedPicture = golden.filePath(name + QStringLiteral(".picture.png"));
        const QString expectedMask = golden.filePath(name + QStringLiteral(".mask.") + suffix);
        // Updating: the run writes over the expected files themselves.
        const bool update = qEnvironmentVariableIntValue("INKMASK_UPDATE_GOLDEN") == 1;
        const QString picture = update ? expectedPicture : path(name + QStringLiteral(".png"));
        const QString mask = update ? expectedMask : path(name + QStringLiteral("-m.") + suffix);
        QCOMPARE(runBatch({golden.filePath(input), "-o", picture, "--mask", mask, "--steps", steps,
                           "--thresholds", thresholds})
                     .exitCode,
                 0);
        QCOMPARE(contents(picture), contents(expectedPicture));
        // Qt's TIFF writer leaves the bits past a 1-bit line's last pixel
        // undefined: the same mask gives other bytes there.
        if (suffix == QLatin1String("png"))
            QCOMPARE(contents(mask), contents(expectedMask));
        QCOMPARE(QImage(mask).depth(), 1);
        QCOMPARE(QImage(mask).convertToFormat(QImage::Format_RGB32),
                 QImage(expectedMask).convertToFormat(QImage::Format_RGB32));
    }
};

QTEST_MAIN(TestBatch)
#include "test_batch.moc"
