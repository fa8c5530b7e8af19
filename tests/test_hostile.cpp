// Hostile image files, at start-up and on Reload: each one either loads with
// its own size, masks one larger, and goes through the three passes, or is
// refused with a message that says what was wrong, leaving Reload's state as
// it was. None may crash or hang.

#include "platform/messagebox.h"
#include "platform/picturebox.h"
#include "shell/form1.h"
#include "support.h"

#include <QBuffer>
#include <QDir>
#include <QImageReader>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace ink;
using namespace ink::test;

namespace {

QByteArray bigEndian32(quint32 value) {
    QByteArray bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char(value >> (24 - 8 * i));
    return bytes;
}

quint32 crc32(const QByteArray &data) {
    quint32 crc = 0xFFFFFFFFu;
    for (const char c : data) {
        crc ^= quint8(c);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray pngChunk(const char *type, const QByteArray &data) {
    const QByteArray body = QByteArray(type, 4) + data;
    return bigEndian32(quint32(data.size())) + body + bigEndian32(crc32(body));
}

// A PNG whose header, with a correct checksum, claims width x height RGB
// pixels, followed by a little image data and the end chunk.
QByteArray pngClaiming(quint32 width, quint32 height) {
    const QByteArray header =
        bigEndian32(width) + bigEndian32(height) + QByteArray("\x08\x02\0\0\0", 5);
    const QByteArray data =
        qCompress(QByteArray(64, '\0')).mid(4);  // zlib stream without Qt's length
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) + pngChunk("IDAT", data) +
           pngChunk("IEND", {});
}

QByteArray encoded(const QImage &image, const char *format) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, format))
        return {};
    return bytes;
}

// A picture of w x h with colour `corner` at (0, 0) and a few black strokes
// and holes, so that the passes have something to do.
QImage drawing(int w, int h, ColorValue corner) {
    ImageSurface surface(solidImage(w, h, kWhite));
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if ((x % 7 < 3 && y % 5 != 2) || (x + y) % 11 == 0)
                surface.PSet(x, y, kBlack);
        }
    }
    surface.PSet(0, 0, corner);
    return surface.image();
}

constexpr ColorValue kCorner = 0x3366CC;  // red 0xCC, green 0x66, blue 0x33

// How a row's file is put on disk besides its bytes.
enum class Special { None, Directory, Fifo, Unreadable, Tiff, OnlyWithExtension };

// Puts the hostile thing at `path`, replacing whatever was there.
bool makeHostile(const QString &path, Special special, const QByteArray &content) {
    QFile::remove(path);
    switch (special) {
        case Special::Directory:
            return QDir().mkdir(path);
        case Special::Fifo:
            return mkfifo(QFile::encodeName(path).constData(), 0644) == 0;
        case Special::OnlyWithExtension:
            QFile::remove(path + QStringLiteral(".png"));
            return solidImage(3, 3, kWhite).save(path + QStringLiteral(".png"));
        default:
            break;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    if (special == Special::Unreadable)
        return file.setPermissions(QFileDevice::WriteOwner);
    return true;
}

}  // namespace

Q_DECLARE_METATYPE(Special)

class TestHostile : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_startDir;
    QStringList m_messages;

    // Moves into a fresh folder of the temporary directory, so that the rows'
    // names are used as relative paths, a leading dash included.
    void enter(const QString &folder) {
        const QString path = m_dir.filePath(folder);
        QVERIFY(QDir().mkpath(path));
        QVERIFY(QDir::setCurrent(path));
    }

    // Why a row cannot be tried here, or null.
    static const char *unsupported(Special special) {
        if (special == Special::Tiff && !QImageReader::supportedImageFormats().contains("tiff"))
            return "no TIFF image plugin installed";
        if (special == Special::Unreadable && geteuid() == 0)
            return "running as root: permissions do not stop reading";
        return nullptr;
    }

    // NB, bouchtrou and affine in turn, each through its button; after each,
    // no report, `Mask` equal to `WorkMask`, both of the picture's size plus one.
    void runPasses(Form1 &form, Module1 &module) {
        const qint32 w = qint32(form.Picture1->Width());
        const qint32 h = qint32(form.Picture1->Height());
        for (QPushButton *button : {form.rgb2nb, form.bouchtrou, form.affine}) {
            form.setCancelBoxValue(0);
            button->click();
            QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join(QLatin1Char('|'))));
            QVERIFY(!form.passRunning());
            QCOMPARE(module.Mask.upperX(), w);
            QCOMPARE(module.Mask.upperY(), h);
            QVERIFY(module.Mask == module.WorkMask);
        }
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_startDir = QDir::currentPath();
        MessageBoxes::setHandler([this](QWidget *, const QString &text) { m_messages << text; });
    }
    void init() { m_messages.clear(); }
    void cleanup() { QDir::setCurrent(m_startDir); }
    void cleanupTestCase() { MessageBoxes::setHandler({}); }

    void hostileFile_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Special>("special");
        QTest::addColumn<QSize>("size");      // the loaded picture's size; invalid: refused
        QTest::addColumn<QString>("reason");  // in the refusal's description

        const QSize refused;
        const QByteArray png = encoded(drawing(40, 30, kCorner), "PNG");
        QTest::newRow("empty file")
            << "empty.png" << QByteArray() << Special::None << refused << "the file is empty";
        QTest::newRow("text named .png") << "notes.png" << QByteArray("not a picture\n")
                                         << Special::None << refused << "Unsupported image format";
        QTest::newRow("truncated png") << "cut.png" << png.left(png.size() / 2) << Special::None
                                       << refused << "Unable to read image data";
        QTest::newRow("header claims 100000 x 100000")
            << "huge.png" << pngClaiming(100000, 100000) << Special::None << refused
            << "Picture too large (100000 x 100000 pixels need 38147 MB; the limit is 4096 MB)";
        QTest::newRow("1x1") << "dot.png" << encoded(drawing(1, 1, kCorner), "PNG") << Special::None
                             << QSize(1, 1) << "";
        QTest::newRow("1x5000") << "tall.png" << encoded(drawing(1, 5000, kCorner), "PNG")
                                << Special::None << QSize(1, 5000) << "";
        QTest::newRow("5000x1") << "wide.png" << encoded(drawing(5000, 1, kCorner), "PNG")
                                << Special::None << QSize(5000, 1) << "";

        QImage deep = drawing(30, 20, kCorner).convertToFormat(QImage::Format_RGBA64);
        deep.setPixelColor(1, 0, QColor::fromRgba64(0x1234, 0x5678, 0x9ABC, 0xFFFF));
        QTest::newRow("16-bit") << "deep.png" << encoded(deep, "PNG") << Special::None
                                << QSize(30, 20) << "";
        QTest::newRow("palette")
            << "palette.png"
            << encoded(drawing(33, 21, kCorner).convertToFormat(QImage::Format_Indexed8), "PNG")
            << Special::None << QSize(33, 21) << "";
        QImage grey = drawing(25, 19, kBlack).convertToFormat(QImage::Format_Grayscale8);
        grey.setPixel(0, 0, qRgb(77, 77, 77));
        QTest::newRow("grey") << "grey.png" << encoded(grey, "PNG") << Special::None
                              << QSize(25, 19) << "";
        QImage alpha = drawing(27, 22, kCorner).convertToFormat(QImage::Format_ARGB32);
        alpha.setPixel(5, 5, qRgba(10, 20, 30, 0));
        alpha.setPixel(6, 5, qRgba(10, 20, 30, 128));
        QTest::newRow("alpha") << "alpha.png" << encoded(alpha, "PNG") << Special::None
                               << QSize(27, 22) << "";
        QTest::newRow("tiff") << "scan.tif" << encoded(drawing(35, 24, kCorner), "TIFF")
                              << Special::Tiff << QSize(35, 24) << "";
        QTest::newRow("blanks, quotes, accents, leading dash")
            << QStringLiteral("-plan \"n\xB0 1\" \u00E9t\u00E9 \u00FC.png") << png << Special::None
            << QSize(40, 30) << "";
        QTest::newRow("directory") << "folder.png" << QByteArray() << Special::Directory << refused
                                   << "a folder, not a file";
        QTest::newRow("named pipe")
            << "pipe.png" << QByteArray() << Special::Fifo << refused << "not a regular file";
        QTest::newRow("no read permission")
            << "locked.png" << png << Special::Unreadable << refused << "Permission denied";
        // The name as given, not another file with an extension added.
        QTest::newRow("only name.png exists")
            << "plan" << QByteArray() << Special::OnlyWithExtension << refused << "File not found";
    }

    // Start-up: the picture and its masks, or the four-line failure message.
    void hostileFile() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(Special, special);
        QFETCH(QSize, size);
        QFETCH(QString, reason);
        if (const char *why = unsupported(special))
            QSKIP(why);
        enter(QStringLiteral("start"));
        QVERIFY(makeHostile(name, special, content));

        Module1 module;
        Form1 form(module);
        const bool loaded = form.Form_Load(name);
        QCOMPARE(module.ImagePath, name);
        if (!size.isValid()) {
            QVERIFY(!loaded);
            QCOMPARE(m_messages.size(), 1);
            const QStringList lines = m_messages.first().split(QLatin1Char('\n'));
            QCOMPARE(lines.size(), 4);
            QVERIFY2(lines[0].contains(reason), qPrintable(lines[0]));
            QCOMPARE(lines[1], QDir::toNativeSeparators(QDir::currentPath()));
            QCOMPARE(lines[2], name);
            QCOMPARE(lines[3], QStringLiteral("non trouvé"));
            QVERIFY(!module.Mask.isAllocated());
            return;
        }
        QVERIFY2(loaded, qPrintable(m_messages.join(QLatin1Char('|'))));
        QCOMPARE(QSize(int(form.Picture1->Width()), int(form.Picture1->Height())), size);
        QCOMPARE(module.Mask.upperX(), size.width());
        QCOMPARE(module.Mask.upperY(), size.height());
        QVERIFY(module.Mask == module.WorkMask);
        const bool grey = name.startsWith(QLatin1String("grey"));
        QCOMPARE(form.Picture1->Point(0, 0), grey ? 77 * 0x010101 : kCorner);
        if (name.startsWith(QLatin1String("deep")))
            QCOMPARE(form.Picture1->Point(1, 0), 0x9A5612);
        runPasses(form, module);
    }

    // Reload of a file that was replaced by a hostile one: the new picture with
    // fresh masks, or the error report with picture and masks as they were.
    void hostileReload_data() { hostileFile_data(); }
    void hostileReload() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(Special, special);
        QFETCH(QSize, size);
        QFETCH(QString, reason);
        if (const char *why = unsupported(special))
            QSKIP(why);
        enter(QStringLiteral("reload"));
        QVERIFY(solidImage(20, 10, 0x204060).save(name, "PNG"));

        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(name));
        form.Picture1->PSet(2, 2, kBlack);
        module.Mask.set(2, 2, true);
        module.WorkMask.set(2, 2, true);
        QVERIFY(makeHostile(name, special, content));

        form.Command1->click();
        QCOMPARE(form.cancelBoxValue(), 1);
        if (!size.isValid()) {
            QCOMPARE(m_messages.size(), 1);
            QVERIFY2(m_messages.first().startsWith(QLatin1String("Run-time error '")),
                     qPrintable(m_messages.first()));
            QVERIFY2(m_messages.first().contains(reason), qPrintable(m_messages.first()));
            QCOMPARE(form.Picture1->Width(), 20.0f);
            QCOMPARE(form.Picture1->Point(2, 2), kBlack);
            QCOMPARE(form.Picture1->Point(3, 2), 0x204060);
            QCOMPARE(module.Mask.upperX(), 20);
            QVERIFY(module.Mask.at(2, 2) && module.WorkMask.at(2, 2));
            return;
        }
        QVERIFY2(m_messages.isEmpty(), qPrintable(m_messages.join(QLatin1Char('|'))));
        QCOMPARE(QSize(int(form.Picture1->Width()), int(form.Picture1->Height())), size);
        QCOMPARE(module.Mask.upperX(), size.width());
        QCOMPARE(module.Mask.upperY(), size.height());
        QCOMPARE(module.Mask.countBlack() + module.WorkMask.countBlack(), 0);
        runPasses(form, module);
    }
};

QTEST_MAIN(TestHostile)
#include "test_hostile.moc"
