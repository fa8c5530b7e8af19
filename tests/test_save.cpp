// Save through the real window: the dialog replaced by a scripted answer and
// the yes/no question by a scripted reply; everything after the choice is the
// window's own. Files written are read back and compared with `Mask` and the
// picture shown.

#include "core/session/saving.h"
#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"
#include "support.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

using namespace ink;
using namespace ink::test;

namespace {

constexpr int kWidth = 60;
constexpr int kHeight = 45;
constexpr int kDotsPerMeter = 11811;  // 300 dpi

QImage noisy(quint64 seed) {
    QImage image = noiseImage(kWidth, kHeight, seed);
    image.setDotsPerMeterX(kDotsPerMeter);
    image.setDotsPerMeterY(kDotsPerMeter);
    return image;
}

// Whether a 1-bit picture read back holds `mask`'s cells 0..w-1, 0..h-1,
// black for True.
bool holdsMask(const QImage &read, const PackedMask &mask) {
    if (read.size() != QSize(kWidth, kHeight))
        return false;
    for (int x = 0; x < kWidth; ++x)
        for (int y = 0; y < kHeight; ++y)
            if ((read.pixel(x, y) == qRgb(0, 0, 0)) != mask.at(x, y))
                return false;
    return true;
}

QString filterOf(ImageContent content, const char *label) {
    for (const SaveChoice &choice : saveChoices())
        if (choice.content == content && choice.format->label == QLatin1String(label))
            return choice.filter;
    return {};
}

}  // namespace

class TestSave : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_scan;
    QStringList m_messages;
    QStringList m_questions;
    bool m_reply = false;
    // What the scripted dialog answers, one answer a time it opens (then it
    // is cancelled), and what it was asked each time.
    QList<Form1::SaveAnswer> m_answers;
    QList<Form1::SaveRequest> m_requests;

    // A window on the scan after NB and bouchtrou, so that the mask and the
    // painted picture are neither blank nor the file's.
    std::unique_ptr<Form1> cleanedWindow(Module1 &module) {
        auto form = std::make_unique<Form1>(module);
        if (!form->Form_Load(m_scan))
            return nullptr;
        control<QPushButton>(*form, "rgb2nb")->click();
        control<QPushButton>(*form, "bouchtrou")->click();
        return form;
    }

    void installScriptedDialog() {
        Form1::setSaveDialog([this](QWidget *, const Form1::SaveRequest &request) {
            m_requests << request;
            return m_answers.isEmpty() ? Form1::SaveAnswer{} : m_answers.takeFirst();
        });
    }

    QStringList filesBesidesScan() const {
        QStringList files = QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden);
        files.removeAll(QStringLiteral("scan.png"));
        return files;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_scan = m_dir.filePath(QStringLiteral("scan.png"));
        MessageBoxes::setHandler([this](QWidget *, const QString &text) { m_messages << text; });
        MessageBoxes::setQuestionHandler([this](QWidget *, const QString &text) {
            m_questions << text;
            return m_reply;
        });
        installScriptedDialog();
    }
    void init() {
        m_messages.clear();
        m_questions.clear();
        m_requests.clear();
        QDir dir(m_dir.path());
        for (const QString &entry : dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
            QVERIFY(QFileInfo(dir.filePath(entry)).isDir()
                        ? QDir(dir.filePath(entry)).removeRecursively()
                        : dir.remove(entry));
        QVERIFY(noisy(7).save(m_scan));
    }
    void cleanupTestCase() {
        MessageBoxes::setHandler({});
        MessageBoxes::setQuestionHandler({});
        Form1::setSaveDialog({});
    }

    // Each file type of the dialog writes its content in its format, read back
    // equal to `Mask` or to the picture shown, with the picture's resolution;
    // a name typed without the type's extension gets it, one typed with
    // another type's is written in that type. The dialog proposes the scan's
    // name with "-mask.png" and lists a PNG mask first.
    void saveChoice_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("written");
        QTest::addColumn<int>("content");
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("byKey");  // Ctrl+S instead of the button
        const auto row = [](const char *tag, const char *typed, const char *written,
                            ImageContent content, const char *format, bool byKey) {
            QTest::newRow(tag) << typed << written << int(content) << format << byKey;
        };
        const ImageContent mask = ImageContent::Mask;
        const ImageContent picture = ImageContent::Picture;
        row("mask, PNG", "out.png", "out.png", mask, "PNG", false);
        row("mask, TIFF, by Ctrl+S", "out.TIFF", "out.TIFF", mask, "TIFF", true);
        row("mask, TIFF, no extension", "out", "out.tif", mask, "TIFF", false);
        row("mask, PBM, no extension", "out", "out.pbm", mask, "PBM", false);
        row("picture, PNG", "p.png", "p.png", picture, "PNG", false);
        row("picture, TIFF", "p.tiff", "p.tiff", picture, "TIFF", false);
        row("picture, PNG, named .tif", "p.tif", "p.tif", picture, "PNG", true);
        row("mask, PBM, named .PNG", "m.PNG", "m.PNG", mask, "PBM", false);
    }
    void saveChoice() {
        QFETCH(QString, typed);
        QFETCH(QString, written);
        QFETCH(int, content);
        QFETCH(QString, format);
        QFETCH(bool, byKey);
        Module1 module;
        auto form = cleanedWindow(module);
        QVERIFY(form);
        const QImage shown = control<PictureBox>(*form, "Picture1")->image();
        const PackedMask mask = module.Mask;
        QVERIFY(mask.countBlack() > 0);
        m_answers = {{m_dir.filePath(typed), filterOf(ImageContent(content), qPrintable(format))}};
        QVERIFY(!m_answers.first().filter.isEmpty());
        if (byKey) {
            form->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(form.get()));
            QTest::keyClick(control<PictureBox>(*form, "Picture1"), Qt::Key_S, Qt::ControlModifier);
        } else {
            control<QPushButton>(*form, "Command2")->click();
        }
        QCOMPARE(m_requests.size(), 1);
        QCOMPARE(m_requests[0].proposed, m_dir.filePath(QStringLiteral("scan-mask.png")));
        QCOMPARE(m_requests[0].filters.value(0), filterOf(ImageContent::Mask, "PNG"));
        QCOMPARE(m_requests[0].filter, m_requests[0].filters.value(0));
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join(QLatin1Char('|'))));
        QVERIFY(m_questions.isEmpty());
        QCOMPARE(filesBesidesScan(), QStringList{written});

        QImageReader reader(m_dir.filePath(written));
        const QByteArray writer = outputFormatFor(written)->writerName;
        QCOMPARE(reader.format(), writer);
        const QImage read = reader.read();
        QVERIFY(!read.isNull());
        if (writer != "pbm") {  // a bitmap with no resolution
            QCOMPARE(read.dotsPerMeterX(), kDotsPerMeter);
            QCOMPARE(read.dotsPerMeterY(), kDotsPerMeter);
        }
        if (ImageContent(content) == ImageContent::Mask) {
            QCOMPARE(read.depth(), 1);
            QVERIFY(holdsMask(read, mask));
        } else {
            QCOMPARE(read.convertToFormat(QImage::Format_RGB32), shown);
        }
        // Saving changes nothing in the window.
        QVERIFY(module.Mask == mask);
        QCOMPARE(control<PictureBox>(*form, "Picture1")->image(), shown);
    }

    // Save carries the scan's georeferencing as the batch tool does: a world
    // file read with the scan (here by Reload, once it is there) goes beside
    // the mask; a GeoTIFF's tags go into a TIFF picture, and a PNG mask gets
    // the world file they give.
    void georeferenced() {
        Module1 module;
        auto form = cleanedWindow(module);
        QVERIFY(form);
        const QByteArray world = "2\n0\n0\n-2\n101\n199\n";
        QFile file(m_dir.filePath(QStringLiteral("scan.pgw")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(world) == world.size());
        file.close();
        const auto save = [&](const char *name, ImageContent content, const char *format) {
            m_answers = {{m_dir.filePath(name), filterOf(content, format)}};
            control<QPushButton>(*form, "Command2")->click();
            QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join(QLatin1Char('|'))));
        };
        control<QPushButton>(*form, "Command1")->click();  // Reload
        save("m.png", ImageContent::Mask, "PNG");
        QFile saved(m_dir.filePath(QStringLiteral("m.pgw")));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), world);

        if (QStandardPaths::findExecutable(QStringLiteral("gdal_translate")).isEmpty())
            QSKIP("gdal-bin is not installed");
        const QString geo = m_dir.filePath(QStringLiteral("geo.tif"));
        QCOMPARE(QProcess::execute(QStringLiteral("gdal_translate"),
                                   {"-q", "-a_srs", "EPSG:32633", "-a_ullr", "500000", "5400450",
                                    "500600", "5400000", m_scan, geo}),
                 0);
        QVERIFY(form->Form_Load(geo));
        save("g.tif", ImageContent::Picture, "TIFF");
        save("g.png", ImageContent::Mask, "PNG");
        const auto grid = [](const QString &path) {
            QProcess gdal;
            gdal.start(QStringLiteral("gdalinfo"), {QStringLiteral("-json"), path});
            gdal.waitForFinished();
            const QJsonObject info = QJsonDocument::fromJson(gdal.readAllStandardOutput()).object();
            return QStringList{
                QJsonDocument(info["geoTransform"].toArray()).toJson(QJsonDocument::Compact),
                info["coordinateSystem"]["wkt"].toString()};
        };
        const QStringList expected = grid(geo);
        QVERIFY(!expected[1].isEmpty());
        QCOMPARE(grid(m_dir.filePath(QStringLiteral("g.tif"))), expected);
        QCOMPARE(grid(m_dir.filePath(QStringLiteral("g.png"))), (QStringList{expected[0], ""}));
    }

    // Saving onto the scan, under its own name, through a symbolic link or a
    // hard link, asks first and writes only on yes. (A hard link is replaced
    // as a name of its own: the write is a rename onto it.)
    void saveOntoScan_data() {
        QTest::addColumn<QString>("link");  // "", "symbolic" or "hard"
        QTest::addColumn<bool>("reply");
        for (const char *link : {"", "symbolic", "hard"}) {
            for (const bool reply : {false, true})
                QTest::addRow("%s%s", *link ? link : "same name", reply ? ", yes" : ", no")
                    << QString::fromLatin1(link) << reply;
        }
    }
    void saveOntoScan() {
        QFETCH(QString, link);
        QFETCH(bool, reply);
        QString name = m_scan;
        if (!link.isEmpty()) {
            name = m_dir.filePath(QStringLiteral("link.png"));
            QVERIFY(link == QLatin1String("hard")
                        ? ::link(qPrintable(m_scan), qPrintable(name)) == 0
                        : QFile::link(m_scan, name));
        }
        Module1 module;
        auto form = cleanedWindow(module);
        QVERIFY(form);
        const QByteArray before = [this] {
            QFile file(m_scan);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }();
        m_reply = reply;
        m_answers = {{name, filterOf(ImageContent::Mask, "PNG")}};
        control<QPushButton>(*form, "Command2")->click();
        QCOMPARE(m_questions.size(), 1);
        // No goes back to the dialog, with the same name.
        QCOMPARE(m_requests.size(), reply ? 1 : 2);
        QCOMPARE(m_requests.last().proposed,
                 reply ? m_dir.filePath(QStringLiteral("scan-mask.png")) : name);
        QVERIFY(m_questions.first().contains(QDir::toNativeSeparators(name)));
        QVERIFY(m_messages.isEmpty());
        const QImage read(name);
        if (reply) {
            QCOMPARE(read.depth(), 1);
            QVERIFY(holdsMask(read, module.Mask));
        } else {
            QFile file(m_scan);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), before);
        }
    }

    // A name typed with a dot of its own gets the extension after the
    // dialog: the file it then names, already there, is asked about too.
    void extensionAddedAsks_data() {
        QTest::addColumn<bool>("reply");
        QTest::newRow("no") << false;
        QTest::newRow("yes") << true;
    }
    void extensionAddedAsks() {
        QFETCH(bool, reply);
        const QString existing = m_dir.filePath(QStringLiteral("plan.v2.png"));
        QVERIFY(QFile::copy(m_scan, existing));
        Module1 module;
        auto form = cleanedWindow(module);
        QVERIFY(form);
        m_reply = reply;
        m_answers = {
            {m_dir.filePath(QStringLiteral("plan.v2")), filterOf(ImageContent::Mask, "PNG")}};
        control<QPushButton>(*form, "Command2")->click();
        QCOMPARE(m_questions.size(), 1);
        QCOMPARE(m_requests.size(), reply ? 1 : 2);
        QVERIFY2(m_questions.first().contains(QDir::toNativeSeparators(existing)),
                 qPrintable(m_questions.first()));
        QCOMPARE(QImage(existing).depth() == 1, reply);
    }

    // The next Save proposes the type and the folder saved to last, the
    // proposed name following the type. A name whose extension is of a type
    // that cannot hold the chosen content is refused, naming those that can,
    // and the dialog comes back with it.
    void nextProposal() {
        Module1 module;
        auto form = cleanedWindow(module);
        QVERIFY(form);
        QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("out")));
        const QString tiff = m_dir.filePath(QStringLiteral("out/brev-pic.tif"));
        const QString pbm = m_dir.filePath(QStringLiteral("out/brev.pbm"));
        const QString png = filterOf(ImageContent::Picture, "PNG");
        m_answers = {{tiff, png}, {pbm, png}, {}};
        control<QPushButton>(*form, "Command2")->click();
        QVERIFY(control<QLabel>(*form, "statusLine")->text().endsWith("Saved " + tiff));
        control<QPushButton>(*form, "Command2")->click();
        QCOMPARE(m_requests.size(), 3);
        QCOMPARE(m_requests[1].proposed, m_dir.filePath(QStringLiteral("out/scan-painted.tif")));
        QCOMPARE(m_requests[1].filter, filterOf(ImageContent::Picture, "TIFF"));
        QCOMPARE(m_requests[2].proposed, pbm);
        QCOMPARE(m_requests[2].filter, png);
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages[0].contains(QLatin1String(".png, .tif or .tiff")),
                 qPrintable(m_messages[0]));
        QCOMPARE(QDir(m_dir.filePath(QStringLiteral("out"))).entryList(QDir::Files),
                 QStringList{QStringLiteral("brev-pic.tif")});
    }

    // Save is refused with a message, before the dialog opens, while a pass
    // runs (from the button or Ctrl+S inside the pass's own event pump) and
    // when there is no picture; nothing is written. Once the pass has ended
    // Save works again.
    void refused_data() {
        QTest::addColumn<QString>("when");
        QTest::newRow("button during NB") << "button";
        QTest::newRow("Ctrl+S during NB") << "key";
        QTest::newRow("no picture") << "empty";
    }
    void refused() {
        QFETCH(QString, when);
        Module1 module;
        Form1 form(module);
        const QString out = m_dir.filePath(QStringLiteral("out.png"));
        m_answers = {{out, filterOf(ImageContent::Mask, "PNG")}};
        QString answer;
        if (when == QLatin1String("empty")) {
            control<QPushButton>(form, "Command2")->click();
        } else {
            QVERIFY(form.Form_Load(m_scan));
            form.activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(&form));
            atColumn(form, 20, [&form, when, &answer] {
                if (when == QLatin1String("button"))
                    control<QPushButton>(form, "Command2")->click();
                else
                    QTest::keyClick(control<PictureBox>(form, "Picture1"), Qt::Key_S,
                                    Qt::ControlModifier);
                answer = control<QLabel>(form, "statusLine")->text();
            });
            control<QPushButton>(form, "rgb2nb")->click();
            // The pass went on to its end.
            QCOMPARE(control<QLineEdit>(form, "Progress")->text(), progressText(kWidth));
        }
        QVERIFY(m_requests.isEmpty());
        // During a pass the answer is in the status line, never in a box.
        if (when == QLatin1String("empty"))
            answer = m_messages.value(0);
        QCOMPARE(m_messages.size(), when == QLatin1String("empty") ? 1 : 0);
        QVERIFY2(answer.contains(when == QLatin1String("empty") ? QLatin1String("no picture")
                                                                : QLatin1String("pass is running")),
                 qPrintable(answer));
        QVERIFY(filesBesidesScan().isEmpty());
        if (when == QLatin1String("empty"))
            return;
        control<QPushButton>(form, "Command2")->click();
        QCOMPARE(m_requests.size(), 1);
        QVERIFY(holdsMask(QImage(out), module.Mask));
    }

    // The name Save proposes: the scan's base name, all but its last
    // extension, with "-mask.png", in the scan's folder.
    void defaultName_data() {
        QTest::addColumn<QString>("scan");
        QTest::addColumn<QString>("proposed");
        const auto row = [](const char *tag, const char *scan, const char *proposed) {
            QTest::newRow(tag) << QString(scan) << QString(proposed);
        };
        row("folder", "/data/plans/scan.jpg", "/data/plans/scan-mask.png");
        row("two dots", "/d/sheet.v2.tif", "/d/sheet.v2-mask.png");
        row("no extension, blanks", "/my scans/a b", "/my scans/a b-mask.png");
    }
    void defaultName() {
        QFETCH(QString, scan);
        QFETCH(QString, proposed);
        QCOMPARE(defaultSaveName(scan), proposed);
    }

    // Choosing a type in the dialog renames the name Save proposed, for any
    // type, to the one it proposes for this type; another name only changes
    // the extension of another type to this type's.
    void renamed_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("content");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("renamed");
        const auto row = [](const char *name, ImageContent content, const char *format,
                            const char *renamed) {
            QTest::newRow(name) << QString(name) << int(content) << QString(format)
                                << QString(renamed);
        };
        row("/d/scan-mask.png", ImageContent::Picture, "TIFF", "/d/scan-painted.tif");
        row("/e/scan-painted.tif", ImageContent::Mask, "PBM", "/e/scan-mask.pbm");
        row("/d/plan.png", ImageContent::Mask, "TIFF", "/d/plan.tif");
        row("/d/plan.tiff", ImageContent::Picture, "TIFF", "/d/plan.tiff");
        row("/d/plan.v2", ImageContent::Mask, "TIFF", "/d/plan.v2");
    }
    void renamed() {
        QFETCH(QString, name);
        QFETCH(int, content);
        QFETCH(QString, format);
        QFETCH(QString, renamed);
        const SaveChoice *choice =
            saveChoiceFor(filterOf(ImageContent(content), qPrintable(format)));
        QVERIFY(choice);
        QCOMPARE(renamedForChoice(name, QStringLiteral("/d/scan.jpg"), *choice), renamed);
    }

    // The real dialog opens wide enough for its columns (as the screen allows),
    // proposing the name,
    // and renames it when another type is chosen.
    void realDialog() {
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(m_scan));
        Form1::setSaveDialog({});
        QSize size;
        QString shown;
        QString renamed;
        QTimer::singleShot(0, &form, [&] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            size = dialog->size();
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            auto *types = dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
            if (name && types) {
                shown = name->text();
                QTest::keyClick(types, Qt::Key_Down);  // a TIFF mask
                renamed = name->text();
            }
            dialog->reject();
        });
        control<QPushButton>(form, "Command2")->click();
        installScriptedDialog();
        const QSize least = QSize(900, 600).boundedTo(form.screen()->availableSize());
        QVERIFY2(size.expandedTo(least) == size,
                 qPrintable(QStringLiteral("%1 x %2").arg(size.width()).arg(size.height())));
        QCOMPARE(shown, QStringLiteral("scan-mask.png"));
        QCOMPARE(renamed, QStringLiteral("scan-mask.tif"));
        QVERIFY(filesBesidesScan().isEmpty());
    }

    // Every control says what it does.
    void tooltips() {
        Module1 module;
        Form1 form(module);
        for (const char *name :
             {"Text1", "Command1", "Label1", "rbox", "Label2", "vbox", "Label3", "bbox", "Command2",
              "rgb2nb", "bouchtrou", "affine", "ckbCancel", "Progress", "Picture1", "clign"})
            QVERIFY2(!control<QWidget>(form, name)->toolTip().isEmpty(), name);
    }

    // While a pass runs the progress box's tooltip gives the column reached
    // and the pass's last column; once it ends the count is gone.
    void progressTooltip_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("last");
        QTest::newRow("NB") << "rgb2nb" << kWidth;
        QTest::newRow("bouchtrou") << "bouchtrou" << kWidth - 4;
        QTest::newRow("affine") << "affine" << kWidth - 2;
    }
    void progressTooltip() {
        QFETCH(QString, button);
        QFETCH(int, last);
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(m_scan));
        QString during;
        atColumn(form, 12,
                 [&form, &during] { during = control<QLineEdit>(form, "Progress")->toolTip(); });
        control<QPushButton>(form, qPrintable(button))->click();
        QCOMPARE(during, QStringLiteral("column 12 of %1").arg(last));
        QVERIFY(!control<QLineEdit>(form, "Progress")->toolTip().contains(QLatin1String(" of ")));
    }
};

QTEST_MAIN(TestSave)
#include "test_save.moc"
