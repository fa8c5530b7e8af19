// inkmask-batch on large jobs: inputs from lists, the report, shards of one
// list, and reruns that skip what a report says is done.

#include "batch/options.h"
#include "core/files/contentdigest.h"
#include "samplegen.h"
#include "support.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>


#include <sys/resource.h>

using namespace ink;
using namespace ink::test;

namespace {

QStringList parsedInputs(const QStringList &arguments, QString *error = nullptr) {
    const ParsedArguments parsed =
        parseBatchArguments(QStringList{QStringLiteral("inkmask-batch")} + arguments, 2);
    if (error)
        *error = parsed.error;
    return parsed.action == ParsedArguments::Run ? parsed.options.inputs.toStringList()
                                                 : QStringList();
}

}  // namespace

class TestBatchLists : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString path(const QString &name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir::setCurrent(m_dir.path()));
        for (const char *name : {"a.png", "b.png", "c d.png", " e.png"})
            QVERIFY(makeSampleScan(40, 30, 3).save(path(QString::fromLatin1(name))));
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
        // AddressSanitizer reserves more address space than the limit allows.
#ifdef __SANITIZE_ADDRESS__
        static constexpr rlim_t kLimit = 0;
#else
        static constexpr rlim_t kLimit = rlim_t(1) << 30;
#endif
        for (const char *option : {"--files-from", "--skip-done"}) {
            const BatchRun run =
                runBatch({option, "/dev/zero", "--mask-dir", path("zm"), "a.png"}, [] {
                    const rlimit limit{kLimit, kLimit};
                    if (kLimit > 0)
                        setrlimit(RLIMIT_AS, &limit);
                });
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

QTEST_GUILESS_MAIN(TestBatchLists)
#include "test_batchlists.moc"
