// The window through its real widgets: start-up, the failure message, Reload,
// and passes run through the window's end-of-column step.

#include "image/columnpass.h"
#include "platform/messagebox.h"
#include "platform/picturebox.h"
#include "shell/form1.h"
#include "support.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace ink;
using namespace ink::test;

namespace {

// Runs `action` inside the window's event pump after column `column`, by
// posting it so that the pump is what delivers it, like a real click.
class PostingOperation : public ColumnOperation {
public:
    PostingOperation(QObject *context, PassRange r) : m_context(context), m_range(r) {}
    PassRange range() const override { return m_range; }
    void processColumn(Module1 &module, PixelSurface &picture, qint32 x, qint32 y0,
                       qint32 y1) override {
        lastColumn = x;
        for (qint32 y = y0; y <= y1; ++y) {
            module.WorkMask.set(x, y, true);
            picture.PSet(x, y, kBlack);
        }
        if (auto it = actions.find(x); it != actions.end())
            QMetaObject::invokeMethod(m_context, it->second, Qt::QueuedConnection);
    }
    std::map<qint32, std::function<void()>> actions;
    qint32 lastColumn = -1;

private:
    QObject *m_context;
    PassRange m_range;
};

}  // namespace

class TestShell : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_png;
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

    void startUp() {
        Module1 module;
        bool ok = false;
        auto form = open(module, QStringLiteral("  \"") + m_png + QStringLiteral("\" "), &ok);
        QVERIFY(ok);
        QVERIFY(m_messages.isEmpty());
        QCOMPARE(module.ImagePath, m_png);
        QCOMPARE(form->windowTitle(), m_png);
        QVERIFY(form->isVisible());
        QCOMPARE(form->frameGeometry().size(), form->screen()->size());

        QCOMPARE(form->Picture1->Width(), 40.0f);
        QCOMPARE(form->Picture1->Height(), 30.0f);
        QCOMPARE(form->Picture1->Point(5, 5), 250 + 256 * 240 + 65536 * 230);
        QCOMPARE(form->Picture1->Point(40, 0), kNoPixel);
        QCOMPARE(module.Mask.upperX(), 40);
        QCOMPARE(module.Mask.upperY(), 30);
        QCOMPARE(module.WorkMask.upperX(), 40);
        QCOMPARE(module.WorkMask.upperY(), 30);
        QCOMPARE(module.Mask.countBlack() + module.WorkMask.countBlack(), 0);
        QCOMPARE(form->CursorX, 1);
        QCOMPARE(form->CursorY, 1);
        QCOMPARE(form->BlinkColor, 0);
    }

    void designTextsAndLayout() {
        Module1 module;
        auto form = open(module, m_png);
        QCOMPARE(form->Text1->text(), QStringLiteral("Text1"));
        QCOMPARE(form->Progress->text(), QStringLiteral("Text2"));
        QCOMPARE(form->rbox->text(), QStringLiteral("180"));
        QCOMPARE(form->vbox->text(), QStringLiteral("180"));
        QCOMPARE(form->bbox->text(), QStringLiteral("180"));
        QCOMPARE(form->Command1->text(), QStringLiteral("Reload"));
        QCOMPARE(form->Command2->text(), QStringLiteral("Save"));
        QCOMPARE(form->clign->text(), QStringLiteral("1"));
        QCOMPARE(form->rgb2nb->text(), QStringLiteral("NB"));
        QCOMPARE(form->bouchtrou->text(), QStringLiteral("bouchtrou"));
        QCOMPARE(form->affine->text(), QStringLiteral("affine"));
        QCOMPARE(form->Label1->text(), QStringLiteral("R"));
        QCOMPARE(form->Label2->text(), QStringLiteral("V"));
        QCOMPARE(form->Label3->text(), QStringLiteral("B"));
        QCOMPARE(form->ckbCancel->text(), QStringLiteral("Cancel"));
        QCOMPARE(form->cancelBoxValue(), 0);

        QVERIFY(!form->load->isVisible());
        QVERIFY(form->Command2->isVisible() && form->clign->isVisible());
        QVERIFY(!form->Timer1->isActive());

        QCOMPARE(form->Text1->geometry(), QRect(8, 8, 169, 19));
        QCOMPARE(form->Command1->geometry(), QRect(256, 16, 65, 41));
        QCOMPARE(form->bbox->geometry(), QRect(192, 48, 57, 25));
        QCOMPARE(form->affine->geometry(), QRect(496, 48, 73, 25));
        QCOMPARE(form->ckbCancel->geometry(), QRect(600, 16, 65, 25));
        QCOMPARE(form->Progress->geometry(), QRect(192, 8, 57, 33));
        QCOMPARE(form->Picture1->mapTo(form.get(), QPoint(0, 0)), QPoint(16, 80));

        // Keyboard order follows the design, starting at the picture.
        const QList<QWidget *> expected{
            form->Picture1, form->Text1,     form->Command1, form->rbox,   form->vbox,
            form->bbox,     form->Command2,  form->clign,    form->rgb2nb, form->bouchtrou,
            form->affine,   form->ckbCancel, form->Progress};
        QWidget *w = form->Picture1;
        for (qsizetype i = 1; i < expected.size(); ++i) {
            do {
                w = w->nextInFocusChain();
            } while (!w->isVisible() || w->focusPolicy() == Qt::NoFocus);
            QCOMPARE(w, expected[i]);
        }
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
        QCOMPARE(QApplication::focusWidget(), form->Picture1);
    }

    void emptyCommandLineGivesEmptyPicture() {
        Module1 module;
        bool ok = false;
        auto form = open(module, QStringLiteral("\"\""), &ok);
        QVERIFY(ok);
        QVERIFY(m_messages.isEmpty());
        QCOMPARE(form->windowTitle(), QString());
        QCOMPARE(form->Picture1->Width(), 0.0f);
        QCOMPARE(module.Mask.upperX(), 0);
        QCOMPARE(module.Mask.upperY(), 0);
    }

    void failureMessage_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("description");
        QTest::newRow("missing") << "nothing here.png" << QByteArray() << "File not found";
        QTest::newRow("not an image") << "notes.png" << QByteArray("hello\n") << "";
        QTest::newRow("truncated png")
            << "cut.png" << QByteArray("\x89PNG\r\n\x1a\n\0\0", 10) << "";
    }
    void failureMessage() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(QString, description);
        const QString path = m_dir.filePath(name);
        if (!content.isEmpty()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        Module1 module;
        bool ok = true;
        auto form = open(module, path, &ok);
        QVERIFY(!ok);
        QCOMPARE(m_messages.size(), 1);
        const QStringList lines = m_messages.first().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 4);
        if (!description.isEmpty())
            QCOMPARE(lines[0], description);
        QVERIFY(!lines[0].isEmpty());
        QCOMPARE(lines[1], QDir::toNativeSeparators(QDir::currentPath()));
        QCOMPARE(lines[2], path);
        QCOMPARE(lines[3], QStringLiteral("non trouvé"));
        QVERIFY(!module.Mask.isAllocated());
    }

    void reload() {
        Module1 module;
        auto form = open(module, m_png);
        form->Picture1->PSet(3, 3, kWhite);
        module.Mask.set(3, 3, true);
        module.WorkMask.set(3, 3, true);
        form->CursorX = 7;
        form->CursorY = 8;
        form->Command1->click();
        QCOMPARE(form->Picture1->Point(3, 3), 0x204060);
        QCOMPARE(module.Mask.countBlack() + module.WorkMask.countBlack(), 0);
        QCOMPARE(module.Mask.upperX(), 40);
        QCOMPARE(form->cancelBoxValue(), 1);
        QCOMPARE(form->windowTitle(), m_png);
        QCOMPARE(form->CursorX, 7);
        QCOMPARE(form->CursorY, 8);
        QVERIFY(m_messages.isEmpty());

        // The next pass stops after its first column and unticks the box.
        form->affine->click();
        QCOMPARE(form->Progress->text(), QStringLiteral("i=3"));
        QCOMPARE(form->cancelBoxValue(), 0);
    }

    void reloadOfVanishedFileKeepsState() {
        const QString path = m_dir.filePath(QStringLiteral("vanishing.png"));
        QVERIFY(solidImage(12, 9, kWhite).save(path));
        Module1 module;
        auto form = open(module, path);
        form->Picture1->PSet(2, 2, kBlack);
        module.Mask.set(2, 2, true);
        QVERIFY(QFile::remove(path));
        form->Command1->click();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY(m_messages.first().contains(QStringLiteral("53")));
        QVERIFY(m_messages.first().contains(QStringLiteral("File not found")));
        QCOMPARE(form->Picture1->Point(2, 2), kBlack);
        QVERIFY(module.Mask.at(2, 2));
        QCOMPARE(form->cancelBoxValue(), 1);
        QVERIFY(form->isVisible());
    }

    void reloadDuringPass() {
        Module1 module;
        auto form = open(module, m_png);
        module.Mask.set(1, 1, true);
        PostingOperation op(form.get(), {1, 0.0f, 2, 0.0f});
        op.actions[4] = [&] { form->Command1->click(); };
        QVERIFY(form->runPass(op));
        QCOMPARE(op.lastColumn, 4);
        QCOMPARE(form->Progress->text(), QStringLiteral("i=4"));
        QCOMPARE(form->cancelBoxValue(), 0);
        QCOMPARE(module.Mask.countBlack() + module.WorkMask.countBlack(), 0);
        QCOMPARE(form->Picture1->Point(2, 2), 0x204060);  // the file's picture is back
    }

    void nestedPassRefused() {
        Module1 module;
        auto form = open(module, m_png);
        bool nestedRan = true;
        PostingOperation op(form.get(), {1, 0.0f, 2, 0.0f});
        op.actions[2] = [&] {
            PostingOperation inner(form.get(), {1, 0.0f, 2, 0.0f});
            nestedRan = form->runPass(inner);
            form->affine->click();  // a pass button: ignored as well
        };
        QVERIFY(form->runPass(op));
        QVERIFY(!nestedRan);
        QCOMPARE(op.lastColumn, 40);
        QCOMPARE(form->Progress->text(), QStringLiteral("i=40"));
        QCOMPARE(module.Mask.countBlack(), 40 * 29);
        QVERIFY(!form->passRunning());
    }

    void closeDuringPassStopsThenCloses() {
        Module1 module;
        auto form = open(module, m_png);
        PostingOperation op(form.get(), {1, 0.0f, 2, 0.0f});
        op.actions[3] = [&] { form->close(); };
        form->runPass(op);
        QCOMPARE(op.lastColumn, 3);
        QVERIFY(!form->isVisible());
        QCOMPARE(module.Mask.countBlack(), 3 * 29);  // the copy-back ran
        QVERIFY(module.Mask == module.WorkMask);
    }

    void errorInPassIsReportedAndProgramGoesOn() {
        Module1 module;
        auto form = open(module, m_png);
        module.Mask.set(0, 0, true);
        form->bbox->setText(QStringLiteral("abc"));
        form->rgb2nb->click();
        QCOMPARE(m_messages.size(), 1);
        QVERIFY(m_messages.first().contains(QStringLiteral("13")));
        QVERIFY(m_messages.first().contains(QStringLiteral("bbox")));
        QCOMPARE(module.Mask.countBlack(), 1);
        QCOMPARE(form->Picture1->Point(1, 2), 0x204060);  // nothing painted
        QVERIFY(!form->passRunning());
        // The window still works.
        form->bbox->setText(QStringLiteral("180"));
        form->rgb2nb->click();
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(form->Progress->text(), QStringLiteral("i=40"));
    }
};

QTEST_MAIN(TestShell)
#include "test_shell.moc"
