// Save through the real window: the dialog replaced by a scripted answer and
// the yes/no question by a scripted reply; everything after the choice is the
// window's own. Files written are read back and compared with `Mask` and the
// picture shown.

#include "core/session/saving.h"
#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"
#include "support.h"

#include <QDir>
#include <QFile>
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
    // What the scripted dialog answers, and what it was offered.
    Form1::SaveAnswer m_answer;
    QString m_proposed;
    QStringList m_offered;
    int m_dialogs = 0;

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
        Form1::setSaveDialog(
            [this](QWidget *, const QString &proposed, const QStringList &filters) {
                ++m_dialogs;
                m_proposed = proposed;
                m_offered = filters;
                return m_answer;
            });
    }
    void init() {
        m_messages.clear();
        m_questions.clear();
        m_dialogs = 0;
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
    // a name typed without the type's extension gets it. The dialog proposes
    // the scan's name with "-mask.png" and lists a PNG mask first.
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
        row("picture, PNG, named .tif", "p.tif", "p.tif.png", picture, "PNG", true);
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
        m_answer = {m_dir.filePath(typed), filterOf(ImageContent(content), qPrintable(format))};
        QVERIFY(!m_answer.filter.isEmpty());
        if (byKey) {
            form->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(form.get()));
            QTest::keyClick(control<PictureBox>(*form, "Picture1"), Qt::Key_S, Qt::ControlModifier);
        } else {
            control<QPushButton>(*form, "Command2")->click();
        }
        QCOMPARE(m_dialogs, 1);
        QCOMPARE(m_proposed, m_dir.filePath(QStringLiteral("scan-mask.png")));
        QCOMPARE(m_offered.value(0), filterOf(ImageContent::Mask, "PNG"));
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join(QLatin1Char('|'))));
        QVERIFY(m_questions.isEmpty());
        QCOMPARE(filesBesidesScan(), QStringList{written});

        QImageReader reader(m_dir.filePath(written));
        QCOMPARE(reader.format(), format.toLower().toLatin1());
        const QImage read = reader.read();
        QVERIFY(!read.isNull());
        if (format != QLatin1String("PBM")) {  // a bitmap with no resolution
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
            m_answer = {m_dir.filePath(name), filterOf(content, format)};
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
        m_answer = {name, filterOf(ImageContent::Mask, "PNG")};
        control<QPushButton>(*form, "Command2")->click();
        QCOMPARE(m_questions.size(), 1);
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
        m_answer = {m_dir.filePath(QStringLiteral("plan.v2")), filterOf(ImageContent::Mask, "PNG")};
        control<QPushButton>(*form, "Command2")->click();
        QCOMPARE(m_questions.size(), 1);
        QVERIFY2(m_questions.first().contains(QDir::toNativeSeparators(existing)),
                 qPrintable(m_questions.first()));
        QCOMPARE(QImage(existing).depth() == 1, reply);
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
        m_answer = {m_dir.filePath(QStringLiteral("out.png")), filterOf(ImageContent::Mask, "PNG")};
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
        QCOMPARE(m_dialogs, 0);
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
        QCOMPARE(m_dialogs, 1);
        QVERIFY(holdsMask(QImage(m_answer.path), module.Mask));
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
