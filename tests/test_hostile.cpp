// Hostile image files, on Reload and at start-up: each one either loads with
// its own size, masks one larger, and goes through the three passes, or is
// refused with a message that says what was wrong, leaving Reload's state as
// it was. None may crash or hang.

#include "platform/messagebox.h"
#include "platform/picturebox.h"
#include "shell/form1.h"
#include "support.h"

#include <QBuffer>
#include <QDataStream>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace ink;
using namespace ink::test;

namespace {

QByteArray encoded(const QImage &image, const char *format) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return buffer.data();
}

// A PNG whose header claims width x height pixels, its checksum made again,
// while its data holds 8 x 8.
QByteArray pngClaiming(quint32 width, quint32 height) {
    QByteArray png = encoded(solidImage(8, 8, kWhite), "PNG");
    QDataStream out(&png, QIODevice::ReadWrite);  // big-endian
    out.device()->seek(16);                       // IHDR's data, after its length and type
    out << width << height;
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : png.mid(12, 17)) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    out.device()->seek(29);
    out << ~crc;
    return png;
}

// A picture of w x h with colour `corner` at (0, 0) and a few black strokes
// and holes, so that the passes have something to do.
QImage drawing(int w, int h, ColorValue corner) {
    QImage image = solidImage(w, h, kWhite);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if ((x % 7 < 3 && y % 5 != 2) || (x + y) % 11 == 0)
                image.setPixel(x, y, qRgb(0, 0, 0));
    image.setPixel(0, 0, solidImage(1, 1, corner).pixel(0, 0));
    return image;
}

constexpr ColorValue kCorner = 0x3366CC;  // red 0xCC, green 0x66, blue 0x33

// How a row's file is put on disk besides its bytes.
enum class Special { None, Directory, Fifo, Unreadable, OnlyWithExtension };

// Puts the hostile thing at `path`, replacing the file there.
bool makeHostile(const QString &path, Special special, const QByteArray &content) {
    QFile::remove(path);
    if (special == Special::Directory)
        return QDir().mkdir(path);
    if (special == Special::Fifo)
        return mkfifo(QFile::encodeName(path).constData(), 0644) == 0;
    if (special == Special::OnlyWithExtension)
        return solidImage(3, 3, kWhite).save(path + QStringLiteral(".png"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    return special != Special::Unreadable || file.setPermissions(QFileDevice::WriteOwner);
}

}  // namespace

Q_DECLARE_METATYPE(Special)

class TestHostile : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QStringList m_messages;

    // One report that starts with `start` and names `reason`; none for no reason.
    void checkReport(const QString &start, const QString &reason) {
        const QString all = m_messages.join(QLatin1Char('|'));
        m_messages.clear();
        QVERIFY2(reason.isEmpty() ? all.isEmpty() : all.startsWith(start) && all.contains(reason),
                 qPrintable(all));
    }

    // A picture of `size` and its two masks one larger, equal; white when `white`.
    void checkLoaded(Form1 &form, const Module1 &module, QSize size, bool white) {
        QVERIFY(!form.passRunning());
        QCOMPARE(control<PictureBox>(form, "Picture1")->image().size(), size);
        QCOMPARE(QSize(module.Mask.upperX(), module.Mask.upperY()), size);
        QVERIFY(module.Mask == module.WorkMask);
        if (white)
            QCOMPARE(module.Mask.countBlack(), 0);
    }

private Q_SLOTS:
    // The rows' names are used as relative paths, a leading dash included.
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        QVERIFY(QDir::setCurrent(m_dir.path()));
        MessageBoxes::setHandler([this](QWidget *, const QString &text) { m_messages << text; });
    }
    void init() { m_messages.clear(); }
    void cleanupTestCase() { MessageBoxes::setHandler({}); }

    void hostileFile_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Special>("special");
        QTest::addColumn<QSize>("size");      // the loaded picture's size; invalid: refused
        QTest::addColumn<QString>("reason");  // in the refusal's description

        // A picture to load, of the image's size.
        const auto loads = [](const char *tag, const QString &name, const QImage &image,
                              const char *format = "PNG") {
            QTest::newRow(tag) << name << encoded(image, format) << Special::None << image.size()
                               << QString();
        };
        // Something to refuse, saying `reason`.
        const auto refuses = [](const char *tag, const QString &name, const QByteArray &content,
                                const QString &reason, Special special = Special::None) {
            QTest::newRow(tag) << name << content << special << QSize() << reason;
        };
        const QByteArray png = encoded(drawing(40, 30, kCorner), "PNG");
        refuses("empty file", "empty.png", {}, "the file is empty");
        refuses("text named .png", "notes.png", "not a picture\n", "Unsupported image format");
        refuses("truncated png", "cut.png", png.left(png.size() / 2), "Unable to read image data");
        refuses("header claims 100000 x 100000", "huge.png", pngClaiming(100000, 100000),
                "Picture too large (100000 x 100000 pixels need 38147 MB; the limit is 4096 MB)");
        refuses("directory", "folder.png", {}, "a folder, not a file", Special::Directory);
        refuses("named pipe", "pipe.png", {}, "not a regular file", Special::Fifo);
        refuses("no read permission", "locked.png", png, "Permission denied", Special::Unreadable);
        // The name as given, not another file with an extension added.
        refuses("only name.png exists", "plan", {}, "File not found", Special::OnlyWithExtension);

        loads("1x1", "dot.png", drawing(1, 1, kCorner));
        loads("1x5000", "tall.png", drawing(1, 5000, kCorner));
        loads("5000x1", "wide.png", drawing(5000, 1, kCorner));
        loads("palette", "palette.png",
              drawing(33, 21, kCorner).convertToFormat(QImage::Format_Indexed8));
        loads("tiff", "scan.tif", drawing(35, 24, kCorner), "TIFF");
        loads("blanks, quotes, accents, leading dash",
              QStringLiteral("-plan \"n\xB0 1\" \u00E9t\u00E9 \u00FC.png"),
              drawing(40, 30, kCorner));
        QImage deep = drawing(30, 20, kCorner).convertToFormat(QImage::Format_RGBA64);
        deep.setPixelColor(1, 0, QColor::fromRgba64(0x1234, 0x5678, 0x9ABC, 0xFFFF));
        loads("16-bit", "deep.png", deep);
        QImage grey = drawing(25, 19, kBlack).convertToFormat(QImage::Format_Grayscale8);
        grey.setPixel(0, 0, qRgb(77, 77, 77));
        loads("grey", "grey.png", grey);
        QImage alpha = drawing(27, 22, kCorner).convertToFormat(QImage::Format_ARGB32);
        alpha.setPixel(5, 5, qRgba(10, 20, 30, 0));
        alpha.setPixel(6, 5, qRgba(10, 20, 30, 128));
        loads("alpha", "alpha.png", alpha);
    }

    // Each row twice. Reload of a loaded picture's file replaced by the row's:
    // the new picture with white masks, or the error report with picture and
    // masks as they were. Then start-up on it: the picture and white masks,
    // or the four-line failure message; a picture goes through the passes.
    void hostileFile() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(Special, special);
        QFETCH(QSize, size);
        QFETCH(QString, reason);
        if (special == Special::Unreadable && geteuid() == 0)
            QSKIP("running as root: permissions do not stop reading");
        const bool loads = size.isValid();
        QVERIFY(solidImage(20, 10, 0x204060).save(name, "PNG"));
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(name));
        control<PictureBox>(form, "Picture1")->PSet(2, 2, kBlack);
        module.Mask.set(2, 2, true);
        module.WorkMask.set(2, 2, true);
        QVERIFY(makeHostile(name, special, content));
        control<QPushButton>(form, "Command1")->click();
        QCOMPARE(form.cancelBoxValue(), 1);
        checkReport(QStringLiteral("Run-time error '"), reason);
        checkLoaded(form, module, loads ? size : QSize(20, 10), loads);
        if (!loads) {
            QCOMPARE(control<PictureBox>(form, "Picture1")->Point(2, 2), kBlack);
            QCOMPARE(control<PictureBox>(form, "Picture1")->Point(3, 2), 0x204060);
            QVERIFY(module.Mask.at(2, 2));
        }

        Module1 started;
        Form1 window(started);
        QCOMPARE(window.Form_Load(name), loads);
        if (!loads) {
            QVERIFY(m_messages.value(0).endsWith(name + QStringLiteral("\nnon trouv\u00E9")));
            checkReport(QString(), reason);
            QVERIFY(!started.Mask.isAllocated());
            return;
        }
        checkReport(QString(), QString());
        checkLoaded(window, started, size, true);
        const bool grey = name.startsWith(QLatin1String("grey"));
        QCOMPARE(control<PictureBox>(window, "Picture1")->Point(0, 0),
                 grey ? 77 * 0x010101 : kCorner);
        if (name.startsWith(QLatin1String("deep")))
            QCOMPARE(control<PictureBox>(window, "Picture1")->Point(1, 0), 0x9A5612);
        for (QPushButton *button :
             {control<QPushButton>(window, "rgb2nb"), control<QPushButton>(window, "bouchtrou"),
              control<QPushButton>(window, "affine")}) {
            button->click();
            checkReport(QString(), QString());
            checkLoaded(window, started, size, false);
        }
    }
};

QTEST_MAIN(TestHostile)
#include "test_hostile.moc"
