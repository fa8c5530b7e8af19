// The window through its real widgets: start-up, the texts, places and
// keyboard order of its controls, the failure message, and Reload. What
// passes do under abuse is in test_abuse, hostile files in test_hostile.

#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"
#include "shell/thresholdpreview.h"
#include "support.h"

#include <QAction>
#include <QByteArrayList>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <filesystem>

using namespace ink;
using namespace ink::test;

class TestShell : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_png;  // 40 x 30 in 0x204060 but for (5, 5)
    QStringList m_messages;

    std::unique_ptr<Form1> open(Module1 &module, const QString &commandLine, bool *ok = nullptr) {
        auto form = std::make_unique<Form1>(module);
        const bool loaded = form->Form_Load(commandLine);
        if (ok)
            *ok = loaded;
        return form;
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_png = m_dir.filePath(QStringLiteral("plan 1.png"));
        QImage image = solidImage(40, 30, 0x204060);
        image.setPixel(5, 5, qRgb(250, 240, 230));
        QVERIFY(image.save(m_png));
        MessageBoxes::setHandler([this](QWidget *, const QString &text) { m_messages << text; });
    }
    void init() { m_messages.clear(); }
    void cleanupTestCase() { MessageBoxes::setHandler({}); }

    // Start-up: caption, full-screen window, the picture, masks one larger
    // than it, both white, and the cursor at (1, 1); no picture for "".
    void startUp_data() {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<QSize>("size");
        QTest::newRow("quoted, with blanks") << "  \"" + m_png + "\" " << QSize(40, 30);
        QTest::newRow("empty quotes") << "\"\"" << QSize(0, 0);
    }
    void startUp() {
        QFETCH(QString, commandLine);
        QFETCH(QSize, size);
        const QString path = size.isEmpty() ? QString() : m_png;
        Module1 module;
        bool ok = false;
        auto form = open(module, commandLine, &ok);
        QVERIFY(ok);
        QVERIFY(m_messages.isEmpty());
        QCOMPARE(module.ImagePath, path);
        QCOMPARE(form->windowTitle(), path);
        QVERIFY(form->isVisible());
        QCOMPARE(form->frameGeometry().size(), form->screen()->size());
        auto *picture = control<PictureBox>(*form, "Picture1");
        QCOMPARE(QSizeF(picture->Width(), picture->Height()), QSizeF(size));
        for (const PackedMask *mask : {&module.Mask, &module.WorkMask}) {
            QCOMPARE(QSize(mask->upperX(), mask->upperY()), size);
            QCOMPARE(mask->countBlack(), 0);
        }
        QCOMPARE(QPoint(form->CursorX, form->CursorY), QPoint(1, 1));
        QCOMPARE(form->BlinkColor, 0);
        if (!size.isEmpty()) {
            QCOMPARE(picture->Point(5, 5), 250 + 256 * 240 + 65536 * 230);
            QCOMPARE(picture->Point(40, 0), kNoPixel);
        }
    }

    // The caption is the path as it is, "[*]" included, on the window's
    // title bar (Qt would take a lone "[*]" for the modified mark).
    void captionKeepsBracketedStar_data() {
        QTest::addColumn<QString>("name");
        for (const char *name : {"plan[*].png", "[*][*].png", "a[*]b[*][*][*]c.png", "[*]"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }
    void captionKeepsBracketedStar() {
        QFETCH(QString, name);
        const QString path = m_dir.filePath(name);
        QVERIFY(QFile::exists(path) || QFile::copy(m_png, path));
        Module1 module;
        bool ok = false;
        auto form = open(module, path, &ok);
        QVERIFY(ok);
        QCOMPARE(module.ImagePath, path);
        QVERIFY(form->windowHandle());
        QCOMPARE(form->windowHandle()->title(), path);
    }

    // The controls' captions, places and keyboard order; the picture has the focus.
    void designTextsAndLayout() {
        Module1 module;
        auto form = open(module, m_png);
        const QStringList texts{
            "Text1 Text1",     "Progress Text2", "rbox 180", "vbox 180",  "bbox 180",
            "Command1 Reload", "Command2 Save",  "clign 1",  "rgb2nb NB", "bouchtrou bouchtrou",
            "affine affine",   "Label1 R",       "Label2 V", "Label3 B",  "ckbCancel Cancel",
            "taches taches",   "tachesbox 4"};
        for (const QString &t : texts) {
            const QWidget *control = form->findChild<QWidget *>(t.section(QLatin1Char(' '), 0, 0));
            QCOMPARE(control->property("text").toString(), t.section(QLatin1Char(' '), 1));
        }
        QCOMPARE(form->cancelBoxValue(), 0);
        QVERIFY(!control<QPushButton>(*form, "load")->isVisible());
        QVERIFY(control<QPushButton>(*form, "Command2")->isVisible() &&
                control<QPushButton>(*form, "clign")->isVisible());
        QVERIFY(!control<QTimer>(*form, "Timer1")->isActive());

        QCOMPARE(control<QLineEdit>(*form, "Text1")->geometry(), QRect(8, 8, 169, 19));
        QCOMPARE(control<QPushButton>(*form, "Command1")->geometry(), QRect(256, 16, 65, 41));
        QCOMPARE(control<QLineEdit>(*form, "bbox")->geometry(), QRect(192, 48, 57, 25));
        QCOMPARE(control<QPushButton>(*form, "affine")->geometry(), QRect(496, 48, 73, 25));
        QCOMPARE(control<QCheckBox>(*form, "ckbCancel")->geometry(), QRect(600, 16, 65, 25));
        QCOMPARE(control<QLineEdit>(*form, "Progress")->geometry(), QRect(192, 8, 57, 33));
        QCOMPARE(control<QPushButton>(*form, "taches")->geometry(), QRect(680, 16, 57, 25));
        QCOMPARE(control<QLineEdit>(*form, "tachesbox")->geometry(), QRect(680, 48, 57, 25));
        QVERIFY(!control<QLineEdit>(*form, "tachesbox")->toolTip().isEmpty());
        QCOMPARE(control<PictureBox>(*form, "Picture1")->mapTo(form.get(), QPoint(0, 0)),
                 QPoint(16, 80));

        const char *const order[] = {"Picture1", "Text1",     "Command1", "rbox",   "vbox",
                                     "bbox",     "Command2",  "clign",    "rgb2nb", "bouchtrou",
                                     "affine",   "ckbCancel", "Progress", "taches", "tachesbox"};
        QWidget *w = control<QWidget>(*form, order[0]);
        for (const char *name : order) {
            if (name == order[0])
                continue;
            do {
                w = w->nextInFocusChain();
            } while (!w->isVisible() || w->focusPolicy() == Qt::NoFocus);
            QCOMPARE(w->objectName(), QLatin1String(name));
        }
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QCOMPARE(QApplication::focusWidget(), control<PictureBox>(*form, "Picture1"));
    }

    // A picture that cannot be loaded: one message of four lines, and no
    // masks. A command line whose bytes were not UTF-8 is refused as such,
    // even when a file bears the name with replacement characters.
    void failureMessage_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("validUtf8");
        QTest::addColumn<QString>("description");
        QTest::newRow("missing file") << "nothing here.png" << true << "File not found";
        QTest::newRow("name not UTF-8")
            << "caf\uFFFD.png" << false << "The file name is not valid UTF-8";
    }
    void failureMessage() {
        QFETCH(QString, name);
        QFETCH(bool, validUtf8);
        QFETCH(QString, description);
        const QString path = m_dir.filePath(name);
        QVERIFY(validUtf8 || QFile::exists(path) || QFile::copy(m_png, path));
        Module1 module;
        Form1 form(module);
        QVERIFY(!form.Form_Load(CommandLine{path, validUtf8}));
        const QStringList lines{description, QDir::toNativeSeparators(QDir::currentPath()), path,
                                "non trouvé"};
        QCOMPARE(m_messages, QStringList{lines.join(QLatin1Char('\n'))});
        QVERIFY(!module.Mask.isAllocated());
    }

    // The program itself, run from a folder holding `file` with the command
    // line `arguments` (raw bytes, through the shell). INKMASK_STARTUP_CHECK
    // makes it print its start-up and end instead of opening boxes. Nothing
    // on the command line may be taken for one of Qt's own options.
    void programStartUp_data() {
        QTest::addColumn<QByteArrayList>("arguments");
        QTest::addColumn<QByteArray>("file");  // empty: none
        QTest::addColumn<QString>("output");   // %1: the folder
        QTest::addColumn<int>("status");
        const auto loaded = [](const QString &caption) {
            return "caption: " + caption + "\npicture: 40x30\ndirection: left-to-right\n";
        };
        const auto failed = [](const QString &description, const QString &path) {
            return description + "\n%1\n" + path + "\nnon trouvé\n";
        };
        QTest::newRow("-reverse") << QByteArrayList{"-reverse"} << QByteArray("-reverse")
                                  << loaded("-reverse") << 0;
        QTest::newRow("-style x.png") << QByteArrayList{"-style", "x.png"} << QByteArray()
                                      << failed("File not found", "-style x.png") << 1;
        QTest::newRow("-qwindowtitle T grad.png")
            << QByteArrayList{"-qwindowtitle", "T", "grad.png"}
            << QByteArray("-qwindowtitle T grad.png") << loaded("-qwindowtitle T grad.png") << 0;
        QTest::newRow("Latin-1 name")
            << QByteArrayList{"caf\xe9.png"} << QByteArray("caf\xe9.png")
            << failed("The file name is not valid UTF-8", "caf\uFFFD.png") << 1;
    }
    void programStartUp() {
        QFETCH(QByteArrayList, arguments);
        QFETCH(QByteArray, file);
        QFETCH(QString, output);
        QFETCH(int, status);
        QTemporaryDir folder;
        QTemporaryDir scripts;
        QVERIFY(folder.isValid() && scripts.isValid());
        // Names are bytes here: QString would turn a byte that is not UTF-8
        // into another name.
        if (!file.isEmpty()) {
            std::error_code error;
            std::filesystem::copy_file(m_png.toStdString(),
                                       (folder.path() + '/').toStdString() + file.toStdString(),
                                       error);
            QVERIFY2(!error, error.message().c_str());
        }
        const QString script = scripts.filePath(QStringLiteral("run.sh"));
        QFile scriptFile(script);
        QVERIFY(scriptFile.open(QIODevice::WriteOnly));
        scriptFile.write("exec \"$INKMASK\" '" + arguments.join("' '") + "'\n");
        scriptFile.close();

        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("INKMASK"), QStringLiteral(INKMASK_PROGRAM));
        environment.insert(QStringLiteral("INKMASK_STARTUP_CHECK"), QStringLiteral("1"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setProcessEnvironment(environment);
        program.setWorkingDirectory(folder.path());
        program.start(QStringLiteral("/bin/sh"), {script});
        if (!program.waitForFinished(30000)) {
            program.kill();
            program.waitForFinished();
            QFAIL("the program did not end after its start-up");
        }
        const QString folderPath =
            QDir::toNativeSeparators(QFileInfo(folder.path()).canonicalFilePath());
        QCOMPARE(QString::fromUtf8(program.readAllStandardOutput()), output.arg(folderPath));
        QCOMPARE(program.exitCode(), status);
    }

    // Reload: the file's picture and white masks back, the cursor kept, and
    // Cancel ticked, so that the next pass stops after its first column.
    void reload() {
        Module1 module;
        auto form = open(module, m_png);
        module.picture.PSet(3, 3, kWhite);
        module.Mask.set(3, 3, true);
        module.WorkMask.set(3, 3, true);
        form->CursorX = 7;
        form->CursorY = 8;
        control<QPushButton>(*form, "Command1")->click();
        QVERIFY(m_messages.isEmpty());
        QCOMPARE(control<PictureBox>(*form, "Picture1")->Point(3, 3), 0x204060);
        QCOMPARE(module.Mask.countBlack() + module.WorkMask.countBlack(), 0);
        QCOMPARE(module.Mask.upperX(), 40);
        QCOMPARE(form->cancelBoxValue(), 1);
        QCOMPARE(form->windowTitle(), m_png);
        QCOMPARE(QPoint(form->CursorX, form->CursorY), QPoint(7, 8));

        control<QPushButton>(*form, "affine")->click();
        QCOMPARE(control<QLineEdit>(*form, "Progress")->text(), QStringLiteral("i=3"));
        QCOMPARE(form->cancelBoxValue(), 0);
    }

    // taches through its button, with the speck size its box holds when it
    // starts: after NB the light pixel (5, 5) is a white hole of one pixel. A
    // box that holds no number is error 13 naming the box, with a line saying
    // what it must hold, and nothing runs; so too for a threshold box.
    void tachesButtonAndBox() {
        Module1 module;
        auto form = open(module, m_png);
        control<QPushButton>(*form, "rgb2nb")->click();
        QVERIFY(!module.Mask.at(5, 5));
        auto *box = control<QLineEdit>(*form, "tachesbox");
        auto *taches = control<QPushButton>(*form, "taches");
        box->setText(QStringLiteral("one"));
        taches->click();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY(m_messages.first().contains(QStringLiteral("13")));
        QVERIFY(m_messages.first().contains(QStringLiteral("tachesbox")));
        QCOMPARE(m_messages.first().section(QLatin1Char('\n'), -1),
                 QStringLiteral("The speck size box must hold a whole number; it holds \"one\"."));
        QVERIFY(control<QLabel>(*form, "statusLine")
                    ->text()
                    .endsWith("taches stopped before its first column by the error reported"));
        QCOMPARE(control<QLineEdit>(*form, "Progress")->text(), QStringLiteral("i=40"));
        box->setText(QStringLiteral("0"));
        taches->click();
        QVERIFY(!module.Mask.at(5, 5));
        QCOMPARE(control<QLineEdit>(*form, "Progress")->text(), QStringLiteral("i=39"));
        box->setText(QStringLiteral("1"));
        taches->click();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY(module.Mask.at(5, 5));
        QCOMPARE(control<PictureBox>(*form, "Picture1")->Point(5, 5), kBlack);
        control<QLineEdit>(*form, "rbox")->setText(QStringLiteral("l8O"));
        control<QPushButton>(*form, "rgb2nb")->click();
        QCOMPARE(m_messages.value(1), QStringLiteral("Run-time error '13':\n\nType mismatch "
                                                     "(rbox: \"l8O\")\nThe R box must hold a "
                                                     "number; it holds \"l8O\"."));
    }

    // The status line says what the window shows and how the last pass
    // ended; the view's keys and the pass keys work with the focus on a
    // button, and F1 lists every key.
    void statusLineAndKeys() {
        Module1 module;
        auto form = open(module, m_png);
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        auto *status = control<QLabel>(*form, "statusLine");
        auto *picture = control<PictureBox>(*form, "Picture1");
        auto *button = control<QPushButton>(*form, "Command1");
        const auto says = [&](const char *text) {
            return status->text().contains(QLatin1String(text));
        };
        QVERIFY2(says("40 x 30 pixels") && says("zoom 1"), qPrintable(status->text()));
        QVERIFY(form->isMaximized());

        button->setFocus();
        QTest::keyClick(button, Qt::Key_F5);
        QVERIFY2(says("NB finished: 40 columns"), qPrintable(status->text()));
        QTest::keyClick(button, Qt::Key_C);
        QVERIFY(picture->showChanges() && says("overlay on"));
        QTest::keyPress(button, Qt::Key_Backslash);
        QVERIFY(picture->comparing() && says("scan as loaded"));
        QTest::keyRelease(button, Qt::Key_Backslash);
        QVERIFY(!picture->comparing());
        QTest::keyClick(button, Qt::Key_Minus, Qt::ControlModifier);
        QVERIFY(picture->reduction() == 2 && says("zoom 1/2"));
        // Typed into a box, C is a letter.
        QTest::keyClick(control<QLineEdit>(*form, "rbox"), Qt::Key_C);
        QVERIFY(picture->showChanges());

        // Text1 follows the inspected pixel through undo.
        QMouseEvent move(QEvent::MouseMove, QPointF(3, 3), QPointF(3, 3), Qt::NoButton,
                         Qt::NoButton, {});
        QCoreApplication::sendEvent(picture, &move);
        QVERIFY(says("pixel 6, 6") && picture->marker() == QPoint(6, 6));
        auto *text1 = control<QLineEdit>(*form, "Text1");
        QVERIFY(text1->text().endsWith("True") && text1->isReadOnly());
        QTest::keyClick(button, Qt::Key_Z, Qt::ControlModifier);
        QVERIFY2(text1->text().endsWith("False"), qPrintable(text1->text()));

        QTimer::singleShot(0, form.get(), [&] { form->setCancelBoxValue(1); });
        QTest::keyClick(button, Qt::Key_F7);
        QVERIFY2(says("affine cancelled at column 3"), qPrintable(status->text()));
        form->setCancelBoxValue(1);
        QTest::keyClick(button, Qt::Key_F6);
        QVERIFY2(says("bouchtrou stopped after 1 column: Cancel was ticked"),
                 qPrintable(status->text()));

        QTest::keyClick(button, Qt::Key_F1);
        auto *keys = form->findChild<QLabel *>(QStringLiteral("keysList"));
        QVERIFY(keys && keys->isVisible());
        for (const QAction *a : form->actions())
            for (const QKeySequence &key : a->shortcuts())
                QVERIFY2(keys->text().contains(key.toString(QKeySequence::NativeText)),
                         qPrintable(key.toString()));
    }

    // NB's preview, shown after a box is edited: drawn at zoom 1 and reduced
    // over the ink NB would make, with the picture and the masks left as they
    // were, and exactly NB's result. Escape hides it; during a pass Escape
    // cancels the pass wherever the focus is.
    void preview_data() {
        QTest::addColumn<bool>("local");
        QTest::newRow("plain") << false;
        QTest::newRow("local") << true;
    }
    void preview() {
        QFETCH(bool, local);
        const QString path = m_dir.filePath(QStringLiteral("gradient.png"));
        QImage scan(300, 200, QImage::Format_RGB32);
        for (int y = 0; y < scan.height(); ++y)
            for (int x = 0; x < scan.width(); ++x)
                scan.setPixel(x, y, qRgb(x * 7 % 256, y * 3 % 256, (x + y) % 256));
        QVERIFY(scan.save(path));
        Module1 module;
        auto form = open(module, path);
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        auto *picture = control<PictureBox>(*form, "Picture1");
        control<QCheckBox>(*form, "ckbLocal")->setChecked(local);
        QImage plain[2];
        for (int i : {0, 1}) {
            i == 0 ? picture->setZoom(1) : picture->setReduction(2);
            plain[i] = picture->grab().toImage();
        }
        control<QLineEdit>(*form, "rbox")->setText(QStringLiteral("120"));
        control<QLineEdit>(*form, "bbox")->setText(QStringLiteral("150"));
        QTRY_VERIFY(picture->preview());
        QVERIFY2(picture->previewCaption().startsWith("Preview of NB: R 120 V 180 B 150"),
                 qPrintable(picture->previewCaption()));
        const std::shared_ptr<ThresholdPreview> preview = picture->preview();
        const PackedMask mask = module.Mask, work = module.WorkMask;
        const QImage before = picture->image();
        QImage shown[2];
        for (int i : {0, 1}) {
            i == 0 ? picture->setZoom(1) : picture->setReduction(2);
            shown[i] = picture->grab().toImage();
            QCOMPARE(shown[i].size(), plain[i].size());
        }
        QVERIFY(module.Mask == mask && module.WorkMask == work && picture->image() == before);
        QVERIFY(preview->made(QRect(0, 0, 300, 200)));

        control<QPushButton>(*form, "rgb2nb")->click();
        QVERIFY(!picture->preview());
        int inked = 0;
        // Below the caption, a pixel is drawn over where NB made ink; reduced,
        // where any of the four it shows is ink.
        for (int y = 0; y < 200; ++y)
            for (int x = 0; x < 300; ++x) {
                const bool ink = module.Mask.at(x, y);
                QCOMPARE(preview->ink(x, y), ink);
                inked += ink;
                if (y >= 60)
                    QCOMPARE(shown[0].pixel(x, y) != plain[0].pixel(x, y), ink);
                if (y >= 60 && x % 2 == 0 && y % 2 == 0) {
                    const bool any = ink || module.Mask.at(x + 1, y) || module.Mask.at(x, y + 1) ||
                                     module.Mask.at(x + 1, y + 1);
                    QCOMPARE(shown[1].pixel(x / 2, y / 2) != plain[1].pixel(x / 2, y / 2), any);
                }
            }
        QVERIFY(inked > 100 && inked < 50000);

        control<QLineEdit>(*form, "rbox")->setText(QStringLiteral("100"));
        QTRY_VERIFY(picture->preview());
        auto *button = control<QPushButton>(*form, "affine");
        button->setFocus();
        QTest::keyClick(button, Qt::Key_Escape);
        QVERIFY(!picture->preview());
        QTimer::singleShot(0, form.get(), [&] { QTest::keyClick(button, Qt::Key_Escape); });
        button->click();
        QVERIFY(form->lastPassOutcome().cancelled);
    }

    // A box whose text its pass would refuse or not take as typed is marked
    // as it is typed, saying why, and unmarked again once it is right.
    void boxMarking() {
        Module1 module;
        auto form = open(module, m_png);
        const auto marked = [&](const char *name, const QString &text) {
            auto *box = control<QLineEdit>(*form, name);
            box->setText(text);
            return box->property("invalid").toBool() && box->toolTip().contains('\n') &&
                   !box->styleSheet().isEmpty();
        };
        for (const char *name : {"rbox", "vbox", "bbox"}) {
            const QString plainTip = control<QLineEdit>(*form, name)->toolTip();
            for (const char *text : {"-5", "300", "l8O", ""})
                QVERIFY2(marked(name, QLatin1String(text)), text);
            QVERIFY(!marked(name, QStringLiteral("180")));
            QCOMPARE(control<QLineEdit>(*form, name)->toolTip(), plainTip);
            QCOMPARE(control<QLineEdit>(*form, name)->text(), QStringLiteral("180"));
        }
        for (const char *text : {"-1", "2.5", "one", "3e10"})
            QVERIFY2(marked("tachesbox", QLatin1String(text)), text);
        QVERIFY(!marked("tachesbox", QStringLiteral("0")));
        QVERIFY(control<QLineEdit>(*form, "tachesbox")->styleSheet().isEmpty());
    }

    // Reload of a file that is gone: error 53 reported, picture and masks kept.
    void reloadOfVanishedFileKeepsState() {
        const QString path = m_dir.filePath(QStringLiteral("vanishing.png"));
        QVERIFY(solidImage(12, 9, kWhite).save(path));
        Module1 module;
        auto form = open(module, path);
        module.picture.PSet(2, 2, kBlack);
        module.Mask.set(2, 2, true);
        QVERIFY(QFile::remove(path));
        control<QPushButton>(*form, "Command1")->click();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY(m_messages.first().contains(QStringLiteral("53")));
        QVERIFY(m_messages.first().contains(QStringLiteral("File not found")));
        QCOMPARE(control<PictureBox>(*form, "Picture1")->Point(2, 2), kBlack);
        QVERIFY(module.Mask.at(2, 2));
        QCOMPARE(form->cancelBoxValue(), 1);
        QVERIFY(form->isVisible());
    }
};

QTEST_MAIN(TestShell)
#include "test_shell.moc"
