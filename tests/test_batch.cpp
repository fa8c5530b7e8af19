// inkmask-batch end to end: exit codes, errors that let the other files go
// on, outputs that appear whole or not at all, Ctrl-C, golden files; on large
// jobs, inputs from lists, the report, shards of one list, and reruns that
// skip what a report says is done; and the
// same picture and mask as the real window (offscreen) gives by its buttons,
// bit for bit (the masks' cells beyond the picture, which no file shows, are
// compared by test_kernels).
//
// The golden inputs (crops of a sample plan, seeded noise) and their expected
// outputs live in tests/golden, checked byte for byte (the TIFF mask pixel for
// pixel, see below). That the passes give what the window gives is proven by
// test_kernels and sameAsWindow; after a deliberate change of the output,
// this writes the expected files again:
//   INKMASK_UPDATE_GOLDEN=1 build/tests/test_batch goldenFiles

#include "batch/options.h"
#include "core/files/contentdigest.h"
#include "core/ops/passes.h"
#include "core/session/history.h"
#include "samplegen.h"
#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"
#include "support.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ink;
using namespace ink::test;

namespace {

// AddressSanitizer reserves far more address space than a limit allows.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

// Files written may not grow past `bytes`, as on a disk that is full.
std::function<void()> fileSizeLimit(int bytes) {
    if (bytes <= 0)
        return {};
    return [bytes] {
        const rlimit limit{rlim_t(bytes), rlim_t(bytes)};
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_IGN);
    };
}

// The program may take no more than `bytes` of address space (unchecked
// under AddressSanitizer).
std::function<void()> memoryLimit(rlim_t bytes) {
    if (kAddressSanitizer)
        return {};
    return [bytes] {
        const rlimit limit{bytes, bytes};
        setrlimit(RLIMIT_AS, &limit);
    };
}

// The files under `dir`, hidden ones included, with their contents.
QMap<QString, QByteArray> snapshot(const QString &dir) {
    QMap<QString, QByteArray> files;
    for (const QFileInfo &info : QDir(dir).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                         QDir::Hidden | QDir::System)) {
        QFile file(info.filePath());
        files.insert(info.fileName(),
                     info.isFile() && file.open(QIODevice::ReadOnly) ? file.readAll() : "");
    }
    return files;
}

// Where GDAL places a file: its geotransform, coordinate system and nodata
// value as gdalinfo gives them. A PBM file, which GDAL does not read, by
// its world file's six numbers.
QString gdalGrid(const QString &file) {
    if (file.endsWith(QLatin1String(".pbm"))) {
        const QList<QByteArray> w = contents(file.chopped(3) + "wld").simplified().split(' ');
        if (w.size() < 6)
            return {};
        const double a = w[0].toDouble(), d = w[1].toDouble(), b = w[2].toDouble(),
                     e = w[3].toDouble(), c = w[4].toDouble(), f = w[5].toDouble();
        return QJsonDocument(QJsonArray{c - (a + b) / 2, a, b, f - (d + e) / 2, d, e})
                   .toJson(QJsonDocument::Compact) +
               "||";
    }
    QProcess gdal;
    gdal.start(QStringLiteral("gdalinfo"), {QStringLiteral("-json"), file});
    gdal.waitForFinished();
    const QJsonObject info = QJsonDocument::fromJson(gdal.readAllStandardOutput()).object();
    return QJsonDocument(info["geoTransform"].toArray()).toJson(QJsonDocument::Compact) + '|' +
           info["coordinateSystem"]["wkt"].toString() + '|' +
           info["bands"][0]["noDataValue"].toVariant().toString();
}

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

QStringList parsedInputs(const QStringList &arguments, QString *error = nullptr) {
    const ParsedArguments parsed =
        parseBatchArguments(QStringList{QStringLiteral("inkmask-batch")} + arguments, 2);
    if (error)
        *error = parsed.error;
    return parsed.action == ParsedArguments::Run ? parsed.options.inputs.toStringList()
                                                 : QStringList();
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
        // Relative names are the folder's: the lists name inputs so.
        QVERIFY(QDir::setCurrent(m_dir.path()));
        for (const char *name : {"a.png", "b.png", "c d.png", " e.png"})
            QVERIFY(makeSampleScan(40, 30, 3).save(path(QString::fromLatin1(name))));
        // sameAsWindow's window reports nothing: any message box is a failure.
        MessageBoxes::setHandler([](QWidget *, const QString &text) { QFAIL(qPrintable(text)); });
        m_plan = path(QStringLiteral("plan.png"));
        QVERIFY(makeSampleScan(120, 90, 5).save(m_plan));
        QVERIFY(QDir().mkpath(path(QStringLiteral("target"))));
        QVERIFY(solidImage(3, 3, 0x123456).save(path(QStringLiteral("target/good.png"))));
        // An input with a hard link, a link and its folder linked, and
        // links to outputs not written yet.
        QVERIFY(QDir().mkpath(path(QStringLiteral("same"))));
        QVERIFY(QFile::copy(m_plan, path(QStringLiteral("same/plan.png"))));
        QCOMPARE(::link(QFile::encodeName(path("same/plan.png")).constData(),
                        QFile::encodeName(path("same/hard.png")).constData()),
                 0);
        QVERIFY(QFile::link(QStringLiteral("plan.png"), path(QStringLiteral("same/link.png"))));
        QVERIFY(QFile::link(QStringLiteral("same"), path(QStringLiteral("samelink"))));
        QVERIFY(QFile::link(QStringLiteral("out3"), path(QStringLiteral("out3link"))));
        QVERIFY(QFile::link(QStringLiteral("y.png"), path(QStringLiteral("ylink.png"))));
        // Noise, whose PNG fills more than the writer's buffers: a full disk
        // shows in the middle of the write.
        QImage noise(256, 256, QImage::Format_RGB32);
        Rng rng(7);
        for (int y = 0; y < noise.height(); ++y) {
            for (int x = 0; x < noise.width(); ++x)
                noise.setPixel(x, y, QRgb(rng.next()));
        }
        QVERIFY(noise.save(path(QStringLiteral("noise.png"))));
        // Pictures wider and higher than PNG allows.
        QVERIFY(solidImage(2000000, 1, 0x808080).save(path(QStringLiteral("wide.tif"))));
        QVERIFY(solidImage(1, 2000000, 0x808080).save(path(QStringLiteral("high.tif"))));
        // A scan with its world file.
        QVERIFY(QFile::copy(m_plan, path(QStringLiteral("wf.png"))));
        QVERIFY(writeFile(path(QStringLiteral("wf.wld")), "2\n0\n0\n-2\n11\n89\n"));
    }

    // QTemporaryDir cannot remove a name it cannot decode.
    void cleanupTestCase() {
        MessageBoxes::setHandler({});
        ::unlink((QFile::encodeName(path(QStringLiteral("latin1"))) + "/caf\xe9.png").constData());
    }

    // Options are dealt with before any file is read (the input named does
    // not exist): bad ones with the usage and status 2, options named as
    // they were typed; --help and --version with status 0.
    void optionsBeforeAnyFile_data() {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const QString longName = QString(252, QLatin1Char('n')) + QStringLiteral(".png");
        QTest::newRow("thresholds") << "--thresholds 180,180 -o o.png" << 2 << "";
        QTest::newRow("comma decimal") << "--thresholds 180,5,1,1 -o o.png" << 2 << "";
        QTest::newRow("exponent") << "--thresholds 1e2,1,1 -o o.png" << 2 << "";
        QTest::newRow("word") << "--thresholds nan,1,1 -o o.png" << 2 << "";
        QTest::newRow("step")
            << "--steps nb,clean -o o.png" << 2
            << "\nunknown step \"clean\" (steps are nb, bouchtrou, affine, taches)";
        QTest::newRow("speck") << "--speck -1 -o o.png" << 2 << "\nbad --speck \"-1\"";
        QTest::newRow("option") << "--fast -o o.png" << 2 << "unknown option --fast";
        QTest::newRow("jobs") << "-j 0 -o o.png" << 2 << "";
        QTest::newRow("jobs twice") << "-j 1 -j 2 -o o.png" << 2 << "\n-j given twice";
        QTest::newRow("-o twice") << "-o o.png -o p.png" << 2 << "\n-o given twice";
        QTest::newRow("--mask twice") << "--mask o.png --mask p.png" << 2 << "--mask given twice";
        QTest::newRow("--changes twice")
            << "--changes a --changes b" << 2 << "--changes given twice";
        QTest::newRow("format") << "-o o.jpg" << 2 << "";
        QTest::newRow("name too long") << "-o " + longName << 2 << "longer than 255 bytes";
        const QString missing = QStringLiteral("nofolder: No such file or directory");
        QTest::newRow("-o in a missing folder") << "-o nofolder/o.png" << 2 << missing;
        QTest::newRow("--mask in a missing folder") << "--mask nofolder/o.png" << 2 << missing;
        QTest::newRow("--report in a missing folder")
            << "--report nofolder/r.jsonl --mask-dir m" << 2 << missing;
        QTest::newRow("nothing to write") << "--steps nb" << 2 << "";
        QTest::newRow("-o with two inputs") << "-o o.png other.png" << 2 << "";
        QTest::newRow("same folder twice") << "--output-dir out --mask-dir out" << 2 << "";
        QTest::newRow("help") << "--help" << 0 << "";
        QTest::newRow("version") << "--version" << 0 << "";
    }
    void optionsBeforeAnyFile() {
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        const BatchRun run =
            runBatch(arguments.split(QLatin1Char(' ')) << path(QStringLiteral("absent.png")));
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.err.contains(QStringLiteral("Usage: inkmask-batch")), exitCode == 2);
        QVERIFY(!run.err.contains(QStringLiteral("cannot read")));
        // Messages start with the program's name: "\n" stands for the line's start.
        QVERIFY2(QString(QLatin1Char('\n') + run.err)
                     .replace(QStringLiteral("\ninkmask-batch: "), QStringLiteral("\n"))
                     .contains(message),
                 qPrintable(run.err));
    }

    // An output that would land on an input, or two outputs on one file,
    // whatever names and links lead there: status 2 naming both, before
    // anything is read or written.
    void outputsNeverShareAFile_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("named");
        const QString input = path(QStringLiteral("same/plan.png"));
        const QString hard = path(QStringLiteral("same/hard.png"));
        const QString link = path(QStringLiteral("same/link.png"));
        const QString dotted = path(QStringLiteral("same/../same/plan.png"));
        const QString out = path(QStringLiteral("out3"));
        const QString y = path(QStringLiteral("y.png"));
        const QString ylink = path(QStringLiteral("ylink.png"));
        QTest::newRow("output folder of the input")
            << QStringList{"--output-dir", path("same"), input} << QStringList{input};
        QTest::newRow("mask is the input")
            << QStringList{"--mask", input, input} << QStringList{input};
        QTest::newRow("mask folder of the input")
            << QStringList{"--mask-dir", path("same"), "-o", y, input} << QStringList{input};
        QTest::newRow("dir/../dir")
            << QStringList{"-o", dotted, input} << QStringList{dotted, input};
        QTest::newRow("symbolic link to the input")
            << QStringList{"-o", link, input} << QStringList{link, input};
        QTest::newRow("input through a link")
            << QStringList{"--mask", input, link} << QStringList{input, link};
        QTest::newRow("hard link to the input")
            << QStringList{"-o", hard, input} << QStringList{hard, input};
        QTest::newRow("folder through a link")
            << QStringList{"--output-dir", path("samelink"), input}
            << QStringList{path("samelink/plan.png"), input};
        QTest::newRow("mask folder links to the picture folder")
            << QStringList{"--output-dir", out, "--mask-dir", path("out3link"), input}
            << QStringList{out + "/plan.png", path("out3link/plan.png")};
        QTest::newRow("changes onto an input")
            << QStringList{"--changes", path("same"), input, path("same/plan.changes.png")}
            << QStringList{path("same/plan.changes.png")};
        QTest::newRow("mask links to the picture")
            << QStringList{"-o", y, "--mask", ylink, input} << QStringList{y, ylink};
    }
    void outputsNeverShareAFile() {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, named);
        const auto before = snapshot(m_dir.path());
        const auto beforeSame = snapshot(path(QStringLiteral("same")));
        const BatchRun run = runBatch(arguments);
        QCOMPARE(run.exitCode, 2);
        for (const QString &name : named)
            QVERIFY2(run.err.section(QLatin1Char('\n'), 0, 0).contains(name), qPrintable(run.err));
        QCOMPARE(snapshot(m_dir.path()), before);
        QCOMPARE(snapshot(path(QStringLiteral("same"))), beforeSame);
    }

    // Files of a folder, two threads, with one unreadable input among them:
    // the others are written, whole and as alone (as their golden files),
    // and the run ends with status 1.
    void unreadableInputLetsOthersGoOn() {
        const QDir golden(QStringLiteral(INKMASK_GOLDEN_DIR));
        const QString broken = QStringLiteral(INKMASK_BATCH);  // no picture
        const QString out = path(QStringLiteral("out"));
        const QString masks = path(QStringLiteral("masks"));  // made by the run
        const BatchRun run =
            runBatch({"-j", "2", golden.filePath(QStringLiteral("plan-160x120.png")), broken,
                      golden.filePath(QStringLiteral("one-1x1.png")), "--output-dir", out,
                      "--mask-dir", masks});
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

    // A picture NB leaves mostly black is warned of, on standard error and
    // in the report's warnings; a plain one is not.
    void mostlyBlackWarned() {
        const QString dark = path(QStringLiteral("dark.png"));
        QVERIFY(solidImage(40, 30, 0x646464).save(dark));
        const QDir golden(QStringLiteral(INKMASK_GOLDEN_DIR));
        const QString report = path(QStringLiteral("warned.jsonl"));
        const BatchRun run =
            runBatch({dark, golden.filePath(QStringLiteral("plan-160x120.png")), "--steps", "nb",
                      "--mask-dir", path(QStringLiteral("warned")), "--report", report});
        QCOMPARE(run.exitCode, 0);
        // NB visits neither column 0 nor rows 0 and 1: 39 x 28 of 40 x 30.
        QVERIFY2(run.err.contains(dark + QStringLiteral(": warning: NB left 91 % of the picture "
                                                        "black")),
                 qPrintable(run.err));
        QCOMPARE(run.err.count(QStringLiteral("warning:")), 1);
        QList<QJsonArray> warnings;
        for (const QByteArray &line : contents(report).split('\n'))
            if (!line.isEmpty())
                warnings << QJsonDocument::fromJson(line).object()["warnings"].toArray();
        QCOMPARE(warnings.size(), 2);
        QCOMPARE(warnings[0].size() + warnings[1].size(), 1);
    }

    // An output that cannot be written whole, or an input that cannot be
    // read: status 1, the file named, and no file left half-written or
    // temporary, nor any other output of the file written; a good file
    // already there stays as it was, and the report lists no output.
    void failedFileLeavesNothingBehind_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("fileSizeLimit");
        const QString folder = path(QStringLiteral("target"));
        const QString good = path(QStringLiteral("target/good.png"));
        const QString absent = path(QStringLiteral("absent.png"));
        const QString tooLarge = good + ": cannot write: PNG cannot hold a picture 2000000 pixels";
        QTest::newRow("disk full")
            << QStringList{path("noise.png"), "--steps", "affine", "-o", good}
            << good + ": cannot write: " + qt_error_string(EFBIG) << 32768;
        // The small mask fits, the picture does not: neither is written.
        QTest::newRow("disk full, mask fits")
            << QStringList{path("noise.png"), "--steps", "affine", "--mask-dir", folder, "-o", good}
            << good + ": cannot write: " + qt_error_string(EFBIG) << 32768;
        QTest::newRow("too wide for PNG")
            << QStringList{path("wide.tif"), "-o", good} << tooLarge + " wide: write TIFF" << 0;
        QTest::newRow("too high for PNG")
            << QStringList{path("high.tif"), "--mask", good} << tooLarge + " high: write TIFF" << 0;
        QTest::newRow("too wide for --changes")
            << QStringList{path("wide.tif"), "--changes", folder}
            << folder +
                   "/wide.changes.png: cannot write: PNG cannot hold a picture 2000000 "
                   "pixels wide: --changes writes only PNG; run this file without --changes"
            << 0;
        QTest::newRow("unreadable input")
            << QStringList{absent, "-o", good} << absent + ": cannot read: " << 0;
        QTest::newRow("world file onto the input's")
            << QStringList{path("wf.png"), "--mask", path("wf.pbm"), "-o", good}
            << path("wf.wld") + ": cannot write: " + path("wf.wld") +
                   " would replace the world file of the input " + path("wf.png")
            << 0;
    }
    void failedFileLeavesNothingBehind() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QFETCH(int, fileSizeLimit);
        const QDir folder(path(QStringLiteral("target")));
        const QByteArray before = contents(folder.filePath(QStringLiteral("good.png")));
        const QString report = path(QStringLiteral("failed.jsonl"));
        QFile::remove(report);
        const auto files = snapshot(m_dir.path());
        const BatchRun run =
            runBatch(arguments << "--report" << report, ::fileSizeLimit(fileSizeLimit));
        QStringList kept = files.keys() << "failed.jsonl";
        kept.sort();
        QCOMPARE(snapshot(m_dir.path()).keys(), kept);
        QCOMPARE(contents(path("wf.wld")), "2\n0\n0\n-2\n11\n89\n");
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(contents(report).contains("\"outputs\":[]"), contents(report).constData());
        QVERIFY2(run.err.contains(message), qPrintable(run.err));
        QVERIFY2(!run.err.contains(QStringLiteral("libpng")), qPrintable(run.err));
        QCOMPARE(folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList{"good.png"});
        QCOMPARE(contents(folder.filePath(QStringLiteral("good.png"))), before);
    }

    // A folder that cannot take new files is refused before anything is read
    // (the input does not exist). Tests run as root, who may write anywhere
    // but on a read-only mount: the program runs as nobody then.
    void unwritableFolderRefusedFirst() {
        const QString locked = path(QStringLiteral("locked"));
        QVERIFY(QDir().mkpath(locked));
        QVERIFY(QFile::setPermissions(
            locked, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(QFile::setPermissions(
            m_dir.path(), QFile::permissions(m_dir.path()) | QFile::ReadOther | QFile::ExeOther));
        const QString out = locked + QStringLiteral("/x.png");
        const BatchRun run = runBatch({path(QStringLiteral("absent.png")), "-o", out}, [] {
            if (getuid() == 0) {
                setgroups(0, nullptr);
                if (setgid(65534) != 0 || setuid(65534) != 0)
                    _exit(99);
            }
        });
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains(out + QStringLiteral(": cannot write in ") + locked +
                                  QStringLiteral(": Permission denied")),
                 qPrintable(run.err));
    }

    // The temporaries of a killed run are named after its host and process:
    // a later run into the folder removes those of this host's dead
    // processes, and keeps those of live ones, of other hosts and of names
    // it cannot read.
    void staleTemporariesRemoved() {
        const QString folder = path(QStringLiteral("stale"));
        QVERIFY(QDir().mkpath(folder));
        char host[256] = {};
        QCOMPARE(gethostname(host, sizeof host - 1), 0);
        const pid_t dead = fork();
        if (dead == 0)
            _exit(0);
        QVERIFY(dead > 0);
        QCOMPARE(waitpid(dead, nullptr, 0), dead);
        const auto name = [&](const char *hostName, qint64 pid) {
            return QStringLiteral(".inkmask-%1-%2-abcdefgh").arg(QLatin1String(hostName)).arg(pid);
        };
        const QStringList kept{name(host, getpid()), name("elsewhere.example", dead),
                               QStringLiteral(".inkmask-abcdefgh")};
        for (const QString &file : kept + QStringList{name(host, dead)})
            QVERIFY(writeFile(QDir(folder).filePath(file), {}));
        QCOMPARE(runBatch({m_plan, "--mask-dir", folder}).exitCode, 0);
        QStringList expected = kept + QStringList{"plan.png"};
        expected.sort();
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
    }

    // Names that a temporary name longer than the output's would break, or
    // that Qt cannot decode: the file is written, or reported and the others
    // go on.
    void unusualNames() {
        // Replacing a file whose name leaves no room for a longer one.
        const QString longName = path(QString(250, QLatin1Char('l')) + QStringLiteral(".png"));
        QCOMPARE(runBatch({m_plan, "-o", longName}).exitCode, 0);
        QCOMPARE(runBatch({m_plan, "-o", longName}).exitCode, 0);
        QCOMPARE(QImage(longName).size(), QSize(120, 90));

        // "caf\xe9.png", Latin-1 bytes, reaches the program only through a
        // shell; Qt would pass it on as UTF-8.
        const QString folder = path(QStringLiteral("latin1"));
        QVERIFY(QDir().mkpath(folder));
        QCOMPARE(::link(QFile::encodeName(m_plan).constData(),
                        (QFile::encodeName(folder) + "/caf\xe9.png").constData()),
                 0);
        const QString out = path(QStringLiteral("latin1-out"));
        const BatchRun run = runBatch({"-c",
                                       "exec \"$0\" -j 1 --output-dir \"$1\" \"$2\" "
                                       "\"$3$(printf '\\351').png\"",
                                       INKMASK_BATCH, out, m_plan, folder + "/caf"},
                                      {}, {}, QStringLiteral("/bin/sh"));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains(QStringLiteral("png: cannot read: the file name is not valid "
                                                 "UTF-8")),
                 qPrintable(run.err));
        QCOMPARE(QDir(out).entryList(QDir::Files), QStringList{"plan.png"});
    }

    // Started with its output and error closed, the program must not take
    // their descriptors for files: its messages would land in them.
    void closedStandardStreams() {
        const QString in = path(QStringLiteral("streams"));
        const QString out = path(QStringLiteral("streams-out"));
        QVERIFY(QDir().mkpath(in));
        const QString golden = QStringLiteral(INKMASK_GOLDEN_DIR);
        QStringList arguments{"-j", "2", "--output-dir", out};
        for (int i = 0; i < 12; ++i) {
            const QString name = in + QStringLiteral("/g%1.png").arg(i);
            QVERIFY(QFile::copy(golden + QStringLiteral("/plan-160x120.png"), name));
            arguments << in + QStringLiteral("/missing%1.png").arg(i) << name;
        }
        const BatchRun run = runBatch(arguments, [] {
            ::close(1);
            ::close(2);
        });
        QCOMPARE(run.exitCode, 1);
        const QByteArray expected = contents(golden + QStringLiteral("/plan.picture.png"));
        const QStringList written = QDir(out).entryList(QDir::Files);
        QCOMPARE(written.size(), 12);
        for (const QString &name : written)
            QVERIFY2(contents(out + QLatin1Char('/') + name) == expected, qPrintable(name));
    }

    // --help and --version into a full device: status 1 and the cause.
    void standardOutputFull() {
        for (const char *option : {"--help", "--version"}) {
            QProcess process;
            process.setStandardOutputFile(QStringLiteral("/dev/full"));
            process.start(QStringLiteral(INKMASK_BATCH), {option});
            QVERIFY(process.waitForFinished(20000));
            QCOMPARE(process.exitCode(), 1);
            QVERIFY(process.readAllStandardError().contains(qt_error_string(ENOSPC).toLocal8Bit()));
        }
    }

    // Far more workers than files asked for: no more are made than there
    // are files (held to 4 GB of address space, a worker too many per core
    // would already fail).
    void jobsHeldToTheInputs() {
        const QString out = path(QStringLiteral("jobs.png"));
        const BatchRun run =
            runBatch({"-j", "2147483647", m_plan, "-o", out}, memoryLimit(rlim_t(4) << 30));
        QCOMPARE(run.exitCode, 0);
        QVERIFY(QFileInfo::exists(out));
    }

    // A second Ctrl-C ends the program at once, even while the first waits
    // for a read to end: here the open of an input on which the test holds a
    // lease, which the system lets wait for 45 seconds.
    void secondInterruptEndsAtOnce() {
        const QString input = path(QStringLiteral("leased.png"));
        QVERIFY(QFile::copy(m_plan, input));
        const int fd = ::open(QFile::encodeName(input).constData(), O_RDONLY);
        QVERIFY(fd >= 0);
        const auto previous = signal(SIGIO, SIG_IGN);  // the lease holder's notice
        if (fcntl(fd, F_SETLEASE, F_WRLCK) != 0) {
            ::close(fd);
            signal(SIGIO, previous);
            QSKIP("file leases are not available here");
        }
        const QString out = path(QStringLiteral("leased-out.png"));
        QProcess process;
        process.start(QStringLiteral(INKMASK_BATCH), {input, "-o", out});
        QVERIFY(process.waitForStarted());
        // The lease is being broken once the program waits in open().
        QTRY_VERIFY_WITH_TIMEOUT(fcntl(fd, F_GETLEASE) != F_WRLCK, 20000);
        ::kill(pid_t(process.processId()), SIGINT);
        QTest::qWait(200);
        ::kill(pid_t(process.processId()), SIGINT);
        const bool ended = process.waitForFinished(20000);
        ::close(fd);
        signal(SIGIO, previous);
        QVERIFY(ended);
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 130);
        QVERIFY(!QFileInfo::exists(out));
    }

    // Ctrl-C, or a scheduler cancelling the task (SIGTERM): the running pass
    // stops at its next column, nothing of the file is written, the status
    // is 128 + the signal, and the report says which file was interrupted.
    void interruptStopsAndWritesNothing_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("Ctrl-C") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
    }
    void interruptStopsAndWritesNothing() {
        QFETCH(int, signal);
        const QString big = path(QStringLiteral("big.png"));
        if (!QFileInfo::exists(big))
            QVERIFY(makeSampleScan(1500, 1500, 9).save(big));
        const QString out = path(QStringLiteral("interrupted.png"));
        const QString report = path(QStringLiteral("interrupted.jsonl"));
        QFile::remove(report);
        const QString steps = QStringList(3000, QStringLiteral("nb,affine")).join(QLatin1Char(','));
        QProcess process;
        process.start(QStringLiteral(INKMASK_BATCH),
                      {big, "-o", out, "--steps", steps, "--report", report});
        QVERIFY(process.waitForStarted());
        QTest::qWait(1000);
        QCOMPARE(process.state(), QProcess::Running);
        ::kill(pid_t(process.processId()), signal);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 128 + signal);
        QCOMPARE(QDir(m_dir.path()).entryList({QStringLiteral("interrupted*")}),
                 QStringList{"interrupted.jsonl"});
        const QJsonObject line = QJsonDocument::fromJson(contents(report)).object();
        QCOMPARE(line["status"].toString(), "interrupted");
        QCOMPARE(line["input"].toString(), big);
    }

    // A georeferenced scan's outputs lie where it lies: TIFF outputs with its
    // GeoTIFF tags (coordinate system and nodata included), every output
    // with its world file when it had one, PNG and PBM ones with a world
    // file worked out from its tags; the report lists the world files.
    void georeferencing_data() {
        QTest::addColumn<QStringList>("translate");  // gdal_translate's options
        QTest::addColumn<QString>("input");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("checked");  // outputs, "+" before those with the CRS
        QTest::addColumn<QStringList>("worlds");
        const QStringList geo{"-a_srs", "EPSG:32633", "-a_ullr",   "500000", "5400900",
                              "501200", "5400000",    "-a_nodata", "255"};
        QTest::newRow("GeoTIFF, TIFF outputs and changes")
            << geo << "g.tif" << QStringList{"--mask", "m.tif", "-o", "p.tif", "--changes", "."}
            << QStringList{"+m.tif", "+p.tif", "g.changes.png"} << QStringList{"g.changes.pgw"};
        QTest::newRow("GeoTIFF, PNG mask and picture")
            << geo << "g.tif" << QStringList{"--mask", "m.png", "-o", "p.png"}
            << QStringList{"m.png", "p.png"} << QStringList{"m.pgw", "p.pgw"};
        QTest::newRow("GeoTIFF, PBM mask") << geo << "g.tif" << QStringList{"--mask", "m.pbm"}
                                           << QStringList{"m.pbm"} << QStringList{"m.wld"};
        QTest::newRow("GeoTIFF, pixel is point")
            << geo + QStringList{"-mo", "AREA_OR_POINT=Point"} << "g.tif"
            << QStringList{"--mask", "m.PNG", "-o", "p.tif"} << QStringList{"m.PNG", "+p.tif"}
            << QStringList{"m.PGW"};
        QTest::newRow("world file beside a PNG")
            << QStringList{"-a_ullr", "10", "20", "130", "-70", "-co", "WORLDFILE=YES"} << "w.png"
            << QStringList{"--mask", "m.tif", "-o", "p.png"} << QStringList{"m.tif", "p.png"}
            << QStringList{"m.tfw", "p.pgw"};
    }
    void georeferencing() {
        QFETCH(QStringList, translate);
        QFETCH(QString, input);
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, checked);
        QFETCH(QStringList, worlds);
        if (QStandardPaths::findExecutable(QStringLiteral("gdal_translate")).isEmpty())
            QSKIP("gdal-bin is not installed");
        QTemporaryDir dir;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
        const auto back = qScopeGuard([&] { QDir::setCurrent(previous); });
        QProcess gdal;
        gdal.start(QStringLiteral("gdal_translate"),
                   QStringList{"-q", "-of", input.endsWith(".png") ? "PNG" : "GTiff"} + translate +
                       QStringList{m_plan, input});
        QVERIFY(gdal.waitForFinished() && gdal.exitCode() == 0);
        QFile::remove(input + ".aux.xml");  // only the world file places it
        const BatchRun run = runBatch(arguments + QStringList{"--report", "r.jsonl", input});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(!run.err.contains("TIFF") && !run.err.contains("Warning"), qPrintable(run.err));
        const QStringList grid = gdalGrid(input).split('|');
        QVERIFY2(grid[0].count(',') == 5, qPrintable(grid[0]));
        for (QString output : checked) {
            const bool crs = output.startsWith('+');
            if (crs)
                output.remove(0, 1);
            const QStringList expected{grid[0], crs ? grid[1] : "", crs ? grid[2] : ""};
            QCOMPARE(gdalGrid(output).split('|'), expected);
        }
        QStringList listed;
        const QJsonObject line = QJsonDocument::fromJson(contents("r.jsonl")).object();
        for (const QJsonValue output : line["outputs"].toArray())
            if (output["kind"] == "world")
                listed << QFileInfo(output["file"].toString()).fileName();
        QCOMPARE(listed, worlds);
    }

    // Small committed inputs, and the expected files byte for byte.
    // Each step's counts are those of the cells its mask differs in from the
    // last step's, and the picture of changes colours each cell as NB's mask
    // and the final one say.
    void changesAndCounts() {
        const QString nb = path(QStringLiteral("c-nb.png")),
                      hole = path(QStringLiteral("c-bt.png")),
                      last = path(QStringLiteral("c-all.png")), dir = path(QStringLiteral("ch"));
        QCOMPARE(runBatch({"--steps", "nb", "--mask", nb, m_plan}).exitCode, 0);
        QCOMPARE(runBatch({"--steps", "nb,bouchtrou", "--mask", hole, m_plan}).exitCode, 0);
        const BatchRun run =
            runBatch({"--steps", "nb,bouchtrou,affine", "--mask", last, "--changes", dir, m_plan});
        QCOMPARE(run.exitCode, 0);
        const auto ink = [](const QImage &image, int x, int y) {
            return qGray(image.pixel(x, y)) < 128;
        };
        const QImage masks[] = {QImage(nb), QImage(hole), QImage(last)};
        const QImage changes(dir + QStringLiteral("/plan.changes.png"));
        QCOMPARE(changes.size(), masks[0].size());
        qint64 filled[2] = {}, erased[2] = {};
        for (int y = 0; y < changes.height(); ++y) {
            for (int x = 0; x < changes.width(); ++x) {
                for (int step = 0; step < 2; ++step)
                    if (ink(masks[step], x, y) != ink(masks[step + 1], x, y))
                        ++(ink(masks[step + 1], x, y) ? filled : erased)[step];
                const bool was = ink(masks[0], x, y), is = ink(masks[2], x, y);
                const QRgb expected = was == is ? (is ? qRgb(200, 200, 200) : qRgb(255, 255, 255))
                                      : is      ? qRgb(0x00, 0x72, 0xB2)
                                                : qRgb(0xD5, 0x5E, 0x00);
                QCOMPARE(changes.pixel(x, y), expected);
            }
        }
        QVERIFY(erased[1] > 0);  // the sample has something for affine to erase
        for (int step = 0; step < 2; ++step)
            QVERIFY2(
                run.err.contains(QStringLiteral("%1: %2").arg(
                    step ? "affine" : "bouchtrou", changeCountsText(filled[step], erased[step]))),
                qPrintable(run.err));
    }

    void goldenFiles_data() {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("thresholds");
        const QString all = QStringLiteral("nb,bouchtrou,affine");
        const QString usual = QStringLiteral("180,180,180");
        QTest::newRow("plan") << "plan-160x120.png" << all << usual;
        QTest::newRow("noise") << "noise-40x30.png" << all + ",affine,bouchtrou"
                               << "180.5,90,255";
        QTest::newRow("one-pixel") << "one-1x1.png" << all << usual;
        QTest::newRow("seven") << "seven-7x7.png" << all + ",affine" << usual;
        QTest::newRow("tiff") << "scan-33x65.tif"
                              << "nb,affine,bouchtrou" << usual;
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
        const QString input = path(QStringLiteral("input.png"));
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
        const QString out = path(QStringLiteral("window-out.png"));
        const QString mask = path(QStringLiteral("window-mask.png"));
        QCOMPARE(runBatch({input, "-o", out, "--mask", mask, "--steps", steps, "--thresholds",
                           thresholds})
                     .exitCode,
                 0);
        QCOMPARE(QImage(out).convertToFormat(QImage::Format_RGB32),
                 control<PictureBox>(form, "Picture1")->image());
        QCOMPARE(QImage(mask).convertToFormat(QImage::Format_RGB32), imageFromMask(module.Mask));
    }

    // A list's names, read as bytes: order kept after the command line's
    // inputs, CR-LF ends and empty lines dropped, blanks kept; every check on
    // inputs applies to the listed ones; a list that cannot be read is a
    // usage error naming it.
    void filesFrom_data() {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QStringList>("more");  // arguments after --files-from LIST
        QTest::addColumn<QStringList>("inputs");
        QTest::addColumn<QString>("error");
        const QStringList out{"--output-dir", "out"};
        QTest::newRow("lines") << QByteArray("b.png\nc d.png\n") << out + QStringList{"a.png"}
                               << QStringList{"a.png", "b.png", "c d.png"} << "";
        QTest::newRow("CR-LF, empty lines, blanks, no last end")
            << QByteArray("\r\nb.png\r\n\n\n e.png") << out << QStringList{"b.png", " e.png"} << "";
        QTest::newRow("empty list")
            << QByteArray("\n\r\n") << out << QStringList() << "no input file";
        QTest::newRow("-o takes one input")
            << QByteArray("a.png\nb.png\n") << QStringList{"-o", "x.png"} << QStringList()
            << "-o and --mask take one input";
        QTest::newRow("listed output onto a listed input")
            << QByteArray("a.png\nout/a.png\n") << out << QStringList()
            << "would replace the input";
        QTest::newRow("two listed inputs, one output")
            << QByteArray("a.png\nsub/../a.png\n") << out << QStringList() << "written twice";
        QTest::newRow("report onto the list")
            << QByteArray("a.png\n") << out + QStringList{"--report", "list.txt"} << QStringList()
            << "would replace the input list.txt";
        QTest::newRow("report onto a listed input")
            << QByteArray("a.png\n") << out + QStringList{"--report", "a.png"} << QStringList()
            << "would replace the input a.png";
        QTest::newRow("NUL in a name") << QByteArray("a.png\nb\0.png\n", 13) << out << QStringList()
                                       << "the list list.txt: line 2 holds a NUL byte";
        QTest::newRow("name too long")
            << QByteArray("a.png\n") + QByteArray(5000, 'x') << out << QStringList()
            << "the list list.txt: line 2 is longer than 4096 bytes";
        QTest::newRow("missing list")
            << QByteArray() << out << QStringList() << "cannot read the list absent.txt";
    }
    void filesFrom() {
        QFETCH(QByteArray, list);
        QFETCH(QStringList, more);
        QFETCH(QStringList, inputs);
        QFETCH(QString, error);
        QDir().mkpath(path("sub"));
        QVERIFY(writeFile(path("list.txt"), list));
        const QString listName =
            error.startsWith("cannot read the list") ? "absent.txt" : "list.txt";
        QString message;
        QCOMPARE(parsedInputs(QStringList{"--files-from", listName} + more, &message), inputs);
        QVERIFY2(message.contains(error), qPrintable(message));
    }

    // A list or a report with no line end is refused, not read whole into
    // memory until it runs out.
    void endlessFiles() {
        for (const char *option : {"--files-from", "--skip-done"}) {
            const BatchRun run = runBatch({option, "/dev/zero", "--mask-dir", path("zm"), "a.png"},
                                          memoryLimit(rlim_t(1) << 30));
            QCOMPARE(run.exitCode, 2);
            QVERIFY2(run.err.contains("/dev/zero: line 1 is longer than"), qPrintable(run.err));
        }
    }

    // A name in a list that is not UTF-8 is kept in its place and reported
    // unreadable when its turn comes, as on the command line.
    void notUtf8InList() {
        QVERIFY(writeFile(path("latin1.txt"), "a.png\ncaf\xe9.png\nb.png\n"));
        const ParsedArguments parsed =
            parseBatchArguments({"inkmask-batch", "--files-from", "latin1.txt", "--output-dir",
                                 "out", "--shard", "1/2"},
                                2);
        QCOMPARE(parsed.action, ParsedArguments::Run);
        QCOMPARE(parsed.options.inputs.size(), 1);
        QCOMPARE(parsed.options.notUtf8Inputs, QSet<int>{0});
    }

    // N shards of one list take every input once, in the list's order.
    void shardsCoverTheList() {
        for (int count = 0; count <= 50; ++count) {
            for (int n = 1; n <= 9; ++n) {
                QList<int> taken(count, 0);
                for (int k = 0; k < n; ++k) {
                    for (int i = 0; i < count; ++i)
                        taken[i] += inShard(i, k, n) ? 1 : 0;
                }
                QVERIFY2(taken == QList<int>(count, 1), qPrintable(QString::number(n)));
                if (count == 0)
                    continue;
                // The same through the command line, inputs remapped.
                QStringList names, union_;
                for (int i = 0; i < count; ++i)
                    names << QStringLiteral("in%1.png").arg(i);
                for (int k = 0; k < n; ++k) {
                    const QStringList part =
                        parsedInputs(QStringList{"--mask-dir", "m", "--shard",
                                                 QStringLiteral("%1/%2").arg(k).arg(n)} +
                                     names);
                    for (const QString &name : part)
                        QCOMPARE(name.mid(2).chopped(4).toInt() % n, k);
                    union_ += part;
                }
                union_.sort();
                names.sort();
                QCOMPARE(union_, names);
            }
        }
        QString error;
        for (const char *bad : {"2/2", "1/0", "-1/3", "1", "a/b", "1/2/3"}) {
            QVERIFY(parsedInputs({"--shard", bad, "-o", "x.png", "a.png"}, &error).isEmpty());
            QVERIFY2(error.contains("bad --shard"), bad);
        }
    }

    // The report: a JSON line per input, appended as each ends, from two
    // workers, after a line a crash left unfinished; the summary line after.
    void reportLines() {
        const QString report = path("report.jsonl");
        QVERIFY(writeFile(report, "{\"input\":\"cut sh"));
        QStringList inputs;
        for (int i = 0; i < 6; ++i) {
            inputs << path(QStringLiteral("r%1.png").arg(i));
            QVERIFY(QFile::copy(path("a.png"), inputs.last()));
        }
        inputs.insert(3, path("absent.png"));
        const QByteArray list = inputs.join('\n').toUtf8() + '\n';
        const BatchRun run = runBatch({"-j", "2", "--files-from", "-", "--output-dir", path("rout"),
                                       "--mask-dir", path("rmask"), "--report", report,
                                       "--thresholds", "170,180,190.5", "--steps", "nb,affine"},
                                      {}, list);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(
            run.err.contains(QRegularExpression(
                "\ninkmask-batch: 7 files: 6 done, 1 failed in [0-9.]+ s, [0-9.]+ files/s\n$")),
            qPrintable(run.err));

        const QList<QByteArray> lines = contents(report).split('\n');
        QCOMPARE(lines.size(), 9);  // the cut line, seven, and the end of the last
        QCOMPARE(lines.first(), QByteArray("{\"input\":\"cut sh"));
        QCOMPARE(lines.last(), QByteArray());
        QStringList seen;
        for (const QByteArray &line : lines.mid(1, 7)) {
            QJsonParseError error;
            const QJsonObject o = QJsonDocument::fromJson(line, &error).object();
            QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
            const QString input = o["input"].toString();
            seen << input;
            QCOMPARE(o["steps"].toArray(), QJsonArray({"nb", "affine"}));
            QCOMPARE(o["thresholds"].toArray(), QJsonArray({170, 180, 190.5}));
            QVERIFY(o["milliseconds"].toDouble(-1) >= 0);
            const QJsonArray outputs = o["outputs"].toArray();
            if (input.endsWith("absent.png")) {
                QCOMPARE(o["status"].toString(), "failed");
                QVERIFY(o["error"].toString().startsWith(input + ": cannot read: "));
                QCOMPARE(outputs.size(), 0);
                continue;
            }
            QCOMPARE(o["status"].toString(), "done");
            QCOMPARE(o["error"].toString(), "");
            const QString name = input.section('/', -1);
            QCOMPARE(outputs.size(), 2);
            for (const QJsonValue output : outputs) {
                const QString file = output["file"].toString();
                QVERIFY(file == path("rmask/") + name || file == path("rout/") + name);
                QCOMPARE(qint64(output["bytes"].toDouble()), QFileInfo(file).size());
                QCOMPARE(output["kind"].toString(), file.contains("rmask") ? "mask" : "picture");
                QString e;
                QCOMPARE(output["xxh3"].toString().toLatin1(), fileDigest(file, &e));
            }
        }
        seen.sort();
        inputs.sort();
        QCOMPARE(seen, inputs);

        const BatchRun quiet = runBatch({"--quiet", "-o", path("q.png"), path("a.png")});
        QCOMPARE(quiet.exitCode, 0);
        QCOMPARE(quiet.err, QString());
    }

    // --skip-done: an input is skipped only when a report says it was done
    // with the same steps and thresholds, the same kind of output at each
    // file, and those files still hold the bytes recorded.
    void skipDone_data() {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QStringList>("rerun");
        const QStringList all{"a.png", "b.png", "absent.png"};
        QTest::newRow("nothing changed") << "" << QStringList{"absent.png"};
        QTest::newRow("mask deleted") << "delete" << QStringList{"a.png", "absent.png"};
        QTest::newRow("picture grew") << "grow" << QStringList{"a.png", "absent.png"};
        QTest::newRow("mask rewritten, same size")
            << "rewrite" << QStringList{"a.png", "absent.png"};
        QTest::newRow("one output listed twice") << "twice" << QStringList{"a.png", "absent.png"};
        QTest::newRow("line without digests") << "old" << QStringList{"a.png", "absent.png"};
        QTest::newRow("other steps") << "steps" << all;
        QTest::newRow("other folder") << "folder" << all;
        QTest::newRow("masks where pictures were") << "swap" << all;
        QTest::newRow("other thresholds") << "thresholds" << all;
        QTest::newRow("auto thresholds") << "auto" << all;
        QTest::newRow("local rule") << "local" << all;
        QTest::newRow("world file rewritten") << "world" << QStringList{"a.png", "absent.png"};
    }
    void skipDone() {
        QFETCH(QString, change);
        QFETCH(QStringList, rerun);
        QTemporaryDir dir;
        const QString report = dir.filePath("done.jsonl");
        const QStringList outputs{"--output-dir", dir.filePath("out"), "--mask-dir",
                                  dir.filePath("mask")};
        const QStringList inputs{"a.png", "b.png", "absent.png"};
        // A world file beside a.png goes beside its outputs too.
        const auto noWorld = qScopeGuard([] { QFile::remove("a.pgw"); });
        if (change == "world")
            QVERIFY(writeFile("a.pgw", "1\n0\n0\n-1\n0.5\n-0.5\n"));
        QCOMPARE(runBatch(outputs + QStringList{"--quiet", "--report", report} + inputs).exitCode,
                 1);
        // A second report, concatenated by hand, with a line cut short.
        QVERIFY(writeFile(dir.filePath("other.jsonl"), "{\"input\":\"b.png\",\"sta"));

        QStringList arguments = outputs;
        if (change == "delete")
            QVERIFY(QFile::remove(dir.filePath("mask/a.png")));
        if (change == "world")
            QVERIFY(writeFile(dir.filePath("mask/a.pgw"), "1\n0\n0\n-1\n0.5\n-1.5\n"));
        if (change == "grow")
            QVERIFY(writeFile(dir.filePath("out/a.png"), "x", QIODevice::Append));
        if (change == "rewrite") {
            const QByteArray mask = contents(dir.filePath("mask/a.png"));
            QVERIFY(writeFile(dir.filePath("mask/a.png"), QByteArray(mask.size(), '\0')));
        }
        // a.png's line edited: its mask listed in place of its picture, the
        // picture deleted; or every digest taken out, as older versions wrote.
        if (change == "twice" || change == "old") {
            QByteArrayList lines = contents(report).split('\n');
            for (QByteArray &line : lines) {
                QJsonObject o = QJsonDocument::fromJson(line).object();
                if (o["input"] != "a.png")
                    continue;
                QJsonArray files = o["outputs"].toArray();
                for (qsizetype i = 0; i < files.size(); ++i) {
                    QJsonObject file = files[i].toObject();
                    file.remove("xxh3");
                    if (change == "old")
                        files[i] = file;
                    else if (file["file"].toString().contains("/out/"))
                        files[i] = files[1 - i];
                }
                o["outputs"] = files;
                line = QJsonDocument(o).toJson(QJsonDocument::Compact);
            }
            QVERIFY(writeFile(report, lines.join('\n')));
            if (change == "twice")
                QVERIFY(QFile::remove(dir.filePath("out/a.png")));
        }
        if (change == "swap")
            std::swap(arguments[1], arguments[3]);
        if (change == "thresholds" || change == "auto")
            arguments << "--thresholds" << (change == "auto" ? "auto" : "100,100,100");
        if (change == "local")
            arguments << "--local";
        if (change == "steps")
            arguments << "--steps"
                      << "nb,bouchtrou";
        if (change == "folder")
            arguments[1] = dir.filePath("out2");
        QString error;
        QCOMPARE(parsedInputs(arguments +
                                  QStringList{"--skip-done", report, "--skip-done",
                                              dir.filePath("other.jsonl")} +
                                  inputs,
                              &error),
                 rerun);
        QVERIFY(
            parsedInputs(outputs + QStringList{"--skip-done", dir.filePath("none.jsonl")} + inputs,
                         &error)
                .isEmpty());
        QVERIFY2(error.contains("cannot read the report"), qPrintable(error));
    }
};

QTEST_MAIN(TestBatch)
#include "test_batch.moc"
