// Opening scans in the running window: Ctrl+O through its dialog, files
// dropped on the window, the read on a worker thread (start-up included),
// what is refused meanwhile, and the hint of a window with no picture.

#include "core/files/loadpicture.h"
#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/opendialog.h"
#include "shell/picturebox.h"
#include "support.h"

#include <QAction>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <algorithm>

using namespace ink;
using namespace ink::test;

class TestOpen : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_first;   // 40 x 30 in 0x204060
    QString m_second;  // 25 x 50 in 0x0A0B0C, with a translucent pixel at (3, 4)
    QString m_large;   // 6000 x 6000, long enough to read that events run meanwhile
    QString m_bad;     // text named .png
    QStringList m_messages;
    QStringList m_chooserFolders;

    // A window started on m_first, with a black Mask cell at (2, 2) and the
    // cursor at (7, 8), so that what a failed Open must keep differs from a
    // fresh start.
    std::unique_ptr<Form1> started(Module1 &module) {
        auto form = std::make_unique<Form1>(module);
        if (!form->Form_Load(m_first))
            return nullptr;
        module.Mask.set(2, 2, true);
        form->CursorX = 7;
        form->CursorY = 8;
        return form;
    }

    // A drop opens its file once the drag is over.
    static void waitForRead(Form1 &form) {
        QCoreApplication::processEvents();
        QTRY_VERIFY(!form.session().reading());
    }

    // Drags `data` onto the window and drops it: whether each was accepted.
    static std::pair<bool, bool> drop(Form1 &form, const QMimeData &data) {
        QDragEnterEvent enter(QPoint(100, 200), Qt::CopyAction, &data, Qt::LeftButton,
                              Qt::NoModifier);
        enter.ignore();
        QCoreApplication::sendEvent(&form, &enter);
        QDropEvent dropped(QPointF(100, 200), Qt::CopyAction, &data, Qt::LeftButton,
                           Qt::NoModifier);
        dropped.ignore();
        QCoreApplication::sendEvent(&form, &dropped);
        return {enter.isAccepted(), dropped.isAccepted()};
    }
    static std::pair<bool, bool> dropFile(Form1 &form, const QString &path) {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        return drop(form, data);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_first = m_dir.filePath(QStringLiteral("first [*].png"));
        QVERIFY(solidImage(40, 30, 0x204060).save(m_first));
        m_second = m_dir.filePath(QStringLiteral("second [*].png"));
        QImage second = solidImage(25, 50, 0x0A0B0C).convertToFormat(QImage::Format_ARGB32);
        second.setPixel(3, 4, qRgba(0, 0, 0, 128));
        QVERIFY(second.save(m_second));
        m_large = m_dir.filePath(QStringLiteral("large.png"));
        QVERIFY(solidImage(6000, 6000, 0x808080).save(m_large));
        m_bad = m_dir.filePath(QStringLiteral("bad.png"));
        QFile bad(m_bad);
        QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("not a picture") > 0);
        bad.close();
        MessageBoxes::setHandler([this](QWidget *, const QString &text) { m_messages << text; });
        OpenDialog::setChooser([this](QWidget *, const QString &folder) {
            m_chooserFolders << folder;
            return QString(QFile::decodeName(qgetenv("INKMASK_TEST_CHOICE")));
        });
    }
    void init() {
        m_messages.clear();
        m_chooserFolders.clear();
    }
    void cleanupTestCase() {
        MessageBoxes::setHandler({});
        OpenDialog::setChooser({});
    }

    // Ctrl+O and a dropped file: a readable one replaces everything as
    // start-up does, anything else is reported and changes nothing.
    void open_data() {
        QTest::addColumn<bool>("byKey");
        QTest::addColumn<QString>("which");
        QTest::addColumn<bool>("opens");
        QTest::newRow("key, good file") << true << "second" << true;
        QTest::newRow("key, text named .png") << true << "bad" << false;
        QTest::newRow("key, missing file") << true << "missing" << false;
        QTest::newRow("drop, good file") << false << "second" << true;
        QTest::newRow("drop, text named .png") << false << "bad" << false;
        QTest::newRow("drop, folder") << false << "folder" << false;
    }
    void open() {
        QFETCH(bool, byKey);
        QFETCH(QString, which);
        QFETCH(bool, opens);
        const QString path = which == "second"   ? m_second
                             : which == "bad"    ? m_bad
                             : which == "folder" ? m_dir.path()
                                                 : m_dir.filePath("missing.png");
        Module1 module;
        auto form = started(module);
        QVERIFY(form);
        const PackedMask maskBefore = module.Mask;
        const QString captionBefore = form->windowTitle();
        auto *picture = control<PictureBox>(*form, "Picture1");

        if (byKey) {
            qputenv("INKMASK_TEST_CHOICE", QFile::encodeName(path));
            QVERIFY(QTest::qWaitForWindowActive(form.get()));
            QTest::keyClick(picture, Qt::Key_O, Qt::ControlModifier);
            QCOMPARE(m_chooserFolders, QStringList{m_dir.path()});
        } else {
            QVERIFY(dropFile(*form, path) == std::pair(true, true));
        }
        waitForRead(*form);

        if (opens) {
            QVERIFY(m_messages.isEmpty());
            QCOMPARE(module.ImagePath, path);
            QCOMPARE(form->windowHandle()->title(), path);
            QCOMPARE(picture->image(), LoadPicture(path));
            PackedMask fresh;
            fresh.allocate(25, 50);
            QVERIFY(module.Mask == fresh);
            QVERIFY(module.WorkMask == fresh);
            QCOMPARE(QPoint(form->CursorX, form->CursorY), QPoint(1, 1));
            QCOMPARE(picture->hint(), QString());
        } else {
            QCOMPARE(m_messages.size(), 1);
            QVERIFY2(m_messages[0].startsWith("Run-time error"), qPrintable(m_messages[0]));
            QCOMPARE(module.ImagePath, m_first);
            QCOMPARE(form->windowTitle(), captionBefore);
            QCOMPARE(picture->image(), LoadPicture(m_first));
            QVERIFY(module.Mask == maskBefore);
            QCOMPARE(QPoint(form->CursorX, form->CursorY), QPoint(7, 8));
        }
    }

    // Drags that carry no single local file are turned away at the door.
    void dropRefused_data() {
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::newRow("web address") << QList<QUrl>{QUrl("https://example.org/scan.png")};
        QTest::newRow("two files")
            << QList<QUrl>{QUrl::fromLocalFile(m_second), QUrl::fromLocalFile(m_large)};
        QTest::newRow("text, no address") << QList<QUrl>{};
    }
    void dropRefused() {
        QFETCH(QList<QUrl>, urls);
        Module1 module;
        auto form = started(module);
        QVERIFY(form);
        QMimeData data;
        if (urls.isEmpty())
            data.setText(m_second);
        else
            data.setUrls(urls);
        QVERIFY(drop(*form, data) == std::pair(false, false));
        QVERIFY(!form->session().reading());
        QCOMPARE(module.ImagePath, m_first);
    }

    // Open, by key, drop or call, does nothing during a pass: no dialog, no
    // read, and the pass goes on to its end.
    void refusedDuringPass_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("Ctrl+O") << "key";
        QTest::newRow("drop") << "drop";
        QTest::newRow("call") << "call";
    }
    void refusedDuringPass() {
        QFETCH(QString, how);
        qputenv("INKMASK_TEST_CHOICE", QFile::encodeName(m_second));
        Module1 module;
        auto form = started(module);
        QVERIFY(form);
        bool ranInside = false;
        QTimer::singleShot(0, form.get(), [&] {
            ranInside = form->passRunning();
            // The window's Open and Undo keys are disabled while the pass
            // runs, not just refused.
            for (const QKeySequence &key :
                 {QKeySequence(QKeySequence::Open), QKeySequence(QKeySequence::Undo)}) {
                const QList<QAction *> actions = form->actions();
                const auto it = std::find_if(actions.begin(), actions.end(), [&](QAction *a) {
                    return a->shortcuts().contains(key);
                });
                QVERIFY(it != actions.end() && !(*it)->isEnabled());
            }
            if (how == "key") {
                QTest::keyClick(control<PictureBox>(*form, "Picture1"), Qt::Key_O,
                                Qt::ControlModifier);
            } else if (how == "drop") {
                QVERIFY(dropFile(*form, m_second) == std::pair(false, false));
            } else {
                QVERIFY(!form->openFile(m_second));
            }
            QVERIFY(!form->session().reading());
        });
        control<QPushButton>(*form, "rgb2nb")->click();
        QVERIFY(ranInside);
        for (QAction *a : form->actions())
            QVERIFY(a->isEnabled());
        QVERIFY(m_chooserFolders.isEmpty());
        QVERIFY(!form->lastPassOutcome().cancelled);
        QCOMPARE(form->lastPassOutcome().columnsDone, 40);
        QCOMPARE(module.ImagePath, m_first);
        QCOMPARE(control<PictureBox>(*form, "Picture1")->Width(), 40);
    }

    // Work not yet saved is asked about before Ctrl+O, a drop or a close
    // throws it away: Save writes it first, Discard goes ahead, Cancel keeps
    // everything as it was. A close during a pass stops the pass first.
    void discardQuestion_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("answer");
        for (const char *how : {"key", "drop", "close", "close during pass"})
            for (auto [name, answer] : {std::pair{"save", MessageBoxes::Unsaved::save},
                                        std::pair{"discard", MessageBoxes::Unsaved::discard},
                                        std::pair{"cancel", MessageBoxes::Unsaved::cancel}})
                QTest::addRow("%s, %s", how, name) << QString(how) << int(answer);
    }
    void discardQuestion() {
        QFETCH(QString, how);
        QFETCH(int, answer);
        qputenv("INKMASK_TEST_CHOICE", QFile::encodeName(m_second));
        const QString saved = m_dir.filePath(QStringLiteral("saved-mask.png"));
        QFile::remove(saved);
        Form1::setSaveDialog([&](QWidget *, const Form1::SaveRequest &request) {
            return Form1::SaveAnswer{saved, request.filters.first()};
        });
        QStringList questions;
        MessageBoxes::setUnsavedHandler([&](QWidget *, const QString &text) {
            questions << text;
            return MessageBoxes::Unsaved(answer);
        });
        Module1 module;
        auto form = started(module);
        QVERIFY(form);
        if (how == "close during pass")
            QTimer::singleShot(0, form.get(), [&] { form->close(); });
        control<QPushButton>(*form, "rgb2nb")->click();
        const PackedMask afterPass = module.Mask;
        if (how == "key")
            QTest::keyClick(control<PictureBox>(*form, "Picture1"), Qt::Key_O, Qt::ControlModifier);
        else if (how == "drop")
            QVERIFY(dropFile(*form, m_second) == std::pair(true, true));
        else if (how == "close")
            form->close();
        waitForRead(*form);
        Form1::setSaveDialog({});
        MessageBoxes::setUnsavedHandler({});

        QCOMPARE(questions.size(), 1);
        QVERIFY2(questions[0].contains("first [*].png"), qPrintable(questions[0]));
        const bool kept = answer == int(MessageBoxes::Unsaved::cancel);
        QCOMPARE(QFile::exists(saved), answer == int(MessageBoxes::Unsaved::save));
        if (how.startsWith("close")) {
            QCOMPARE(form->isVisible(), kept);
            QCOMPARE(form->lastPassOutcome().cancelled, how == "close during pass");
        } else {
            QCOMPARE(module.ImagePath, kept ? m_first : m_second);
            QCOMPARE(m_chooserFolders.size(), how == "key" && !kept ? 1 : 0);
        }
        if (kept)
            QVERIFY(module.Mask == afterPass);
    }

    // While start-up reads, the window is shown, names the file and turns
    // away a second read, Reload and passes; the picture is LoadPicture's.
    void startUpReadsOnWorker() {
        Module1 module;
        Form1 form(module);
        auto *picture = control<PictureBox>(form, "Picture1");
        QString hint;
        bool visible = false;
        bool openRefused = false;
        bool passRefused = false;
        QTimer::singleShot(0, &form, [&] {
            hint = picture->hint();
            visible = form.isVisible();
            openRefused = !form.openFile(m_second);
            control<QPushButton>(form, "Command1")->click();
            passRefused = !form.session().runPass(*findPass(QStringLiteral("nb")));
        });
        QVERIFY(form.Form_Load(m_large));
        QVERIFY2(hint.contains("large.png"), qPrintable(hint));
        QVERIFY(visible);
        QVERIFY(openRefused);
        QVERIFY(passRefused);
        QCOMPARE(form.cancelBoxValue(), 0);  // Reload ticks Cancel only when it runs
        QCOMPARE(module.ImagePath, m_large);
        QVERIFY(picture->image() == LoadPicture(m_large));
        QVERIFY(picture->reduction() > 1);  // opened fitted to the view
        QCOMPARE(picture->hint(), QString());
        QVERIFY(m_messages.isEmpty());
    }

    // Closed while start-up reads: start-up ends quietly, the read dropped.
    void closeDuringStartUpRead() {
        Module1 module;
        Form1 form(module);
        QTimer::singleShot(0, &form, [&] { form.close(); });
        QVERIFY(!form.Form_Load(m_large));
        QVERIFY(!form.isVisible());
        QVERIFY(m_messages.isEmpty());
        QTest::qWait(50);
        QCOMPARE(control<PictureBox>(form, "Picture1")->Width(), 0);
    }

    // No picture given: the area shows the hint, and the passes run on the
    // empty picture without a report.
    void noPicture_data() {
        QTest::addColumn<QString>("button");
        QTest::newRow("NB") << "rgb2nb";
        QTest::newRow("bouchtrou") << "bouchtrou";
        QTest::newRow("affine") << "affine";
    }
    void noPicture() {
        QFETCH(QString, button);
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(QString()));
        QCOMPARE(form.windowTitle(), QString());
        auto *picture = control<PictureBox>(form, "Picture1");
        QCOMPARE(picture->hint(), QStringLiteral("Open a scan with Ctrl+O, or drop one here"));
        const QImage shown = picture->grab().toImage();
        QVERIFY(!shown.isNull());
        bool inked = false;
        for (int x = 0; x < shown.width() && !inked; ++x)
            for (int y = 0; y < shown.height() && !inked; ++y)
                inked = shown.pixel(x, y) != shown.pixel(0, 0);
        QVERIFY(inked);

        const PackedMask maskBefore = module.Mask;
        control<QPushButton>(form, qPrintable(button))->click();
        QVERIFY(m_messages.isEmpty());
        QVERIFY(!form.passRunning());
        QVERIFY(module.Mask == maskBefore);
        QCOMPARE(picture->Width(), 0);
    }
};

QTEST_MAIN(TestOpen)
#include "test_open.moc"
