// Hostile image files, on Reload and at start-up, and through inkmask-batch:
// each one either loads with its own size, masks one larger, and goes through
// the three passes, or is refused with a message that says what was wrong,
// leaving Reload's state as it was. None may crash or hang. Both programs
// take the same table and must agree on every row; so too for what is found
// where an output is to be written.

#include "core/runtime/commandline.h"
#include "core/session/saving.h"
#include "picturefiles.h"
#include "shell/form1.h"
#include "shell/messagebox.h"
#include "shell/picturebox.h"
#include "support.h"

#include <QCheckBox>
#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace ink;
using namespace ink::test;

namespace {

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

// A pixel of the loaded picture and the colour value it must have.
struct Probe {
    int x;
    int y;
    ColorValue colour;
};
using Probes = QList<Probe>;

// How a row's file is put on disk besides its bytes.
enum class Special { None, Directory, Fifo, Unreadable, OnlyWithExtension };

// Puts the hostile thing at `path`, replacing the file there.
bool makeHostile(const QString &path, Special special, const QByteArray &content) {
    if (!QFile::remove(path))
        QDir().rmdir(path);
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

// A row whose file opj_compress made: its name says JPEG 2000.
bool needsOpenJpeg() {
    const QByteArray tag(QTest::currentDataTag());
    return (tag.contains("jp2") || tag.contains("j2k")) && !haveOpenJpegTools();
}

}  // namespace

Q_DECLARE_METATYPE(Special)
Q_DECLARE_METATYPE(Probes)

namespace {

// The table both programs run: a file, how it is put on disk, and either the
// size it loads with and pixels it must show, or the reason it is refused.
void hostileRows() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Special>("special");
    QTest::addColumn<QSize>("size");      // the loaded picture's size; invalid: refused
    QTest::addColumn<Probes>("probes");   // pixels of the loaded picture
    QTest::addColumn<QString>("reason");  // in the refusal's description
    QTest::addColumn<QString>("words");   // in the window's line on the file, when given

    // A picture to load, of the image's size.
    const auto loads = [](const char *tag, const QString &name, const QByteArray &content,
                          QSize size, const Probes &probes = {}) {
        QTest::newRow(tag) << name << content << Special::None << size << probes << QString()
                           << QString();
    };
    const auto loadsImage = [&](const char *tag, const QString &name, const QImage &image,
                                const Probes &probes, const char *format = "PNG") {
        loads(tag, name, encoded(image, format), image.size(), probes);
    };
    // Something to refuse, saying `reason`.
    const auto refuses = [](const char *tag, const QString &name, const QByteArray &content,
                            const QString &reason, Special special = Special::None,
                            const QString &words = {}) {
        QTest::newRow(tag) << name << content << special << QSize() << Probes() << reason << words;
    };
    const auto half = [](const QByteArray &bytes) { return bytes.left(bytes.size() / 2); };
    const QString cut = QStringLiteral("the file ends early");
    const QImage picture = drawing(40, 30, kCorner);
    const QByteArray png = encoded(picture, "PNG");
    const Probes corner{{0, 0, kCorner}};

    refuses("empty file", "empty.png", {}, "the file is empty");
    refuses("text named .png", "notes.png", "not a picture\n", "Unsupported image format",
            Special::None,
            "it is not a picture inkmask can read (its bytes are those of a text file).");
    refuses("truncated png", "cut.png", half(png), cut);
    // Named with terminal codes: both programs' messages show them escaped.
    refuses("control characters in the name", QStringLiteral("e\x1b[2J\t\u009b.png"), half(png),
            cut);
    refuses("header claims 100000 x 100000", "huge.png", pngClaiming(100000, 100000),
            "Picture too large (100000 x 100000 pixels need 38147 MB; the limit is 4096 MB)");
    refuses("directory", "folder.png", {}, "a folder, not a file", Special::Directory,
            "it is a folder, not a file.");
    refuses("named pipe", "pipe.png", {}, "not a regular file", Special::Fifo);
    refuses("no read permission", "locked.png", png, "Permission denied", Special::Unreadable);
    // The name as given, not another file with an extension added.
    refuses("only name.png exists", "plan", {}, "File not found", Special::OnlyWithExtension);
    // Cut short: refused, not finished with filler or another picture's pixels.
    const QByteArray jpeg = encoded(picture, "JPEG");
    refuses("truncated jpeg", "cut.jpg", jpeg.left(jpeg.size() * 6 / 10), cut);
    refuses("jpeg without its end marker", "end.jpg", jpeg.chopped(2), cut);
    // Whole but damaged: a quarter of the scan's data zeroed in its middle,
    // read by the program's JPEG decoder or, with a comment, by Qt's reader.
    QByteArray zeroed = encoded(drawing(200, 150, kCorner), "JPEG");
    const qsizetype scan = zeroed.indexOf("\xFF\xDA");
    zeroed.replace((scan + zeroed.size()) / 2, (zeroed.size() - scan) / 4,
                   QByteArray((zeroed.size() - scan) / 4, '\0'));
    refuses("jpeg with zeroed data", "zeroed.jpg", zeroed, "damaged JPEG data");
    refuses("jpeg with zeroed data and a comment", "zeroed-note.jpg",
            QByteArray(zeroed).insert(2, QByteArray("\xFF\xFE\x00\x06note", 8)),
            "damaged JPEG data");
    // Bytes left after the blocks' data: damage threw the decoder off the blocks.
    refuses("jpeg with bytes left after its data", "left.jpg",
            QByteArray(jpeg).insert(jpeg.size() - 2, QByteArray(32, '\x01')),
            "extraneous bytes before marker 0xd9");
    // Stray bytes between the header's segments change no pixel.
    loads("jpeg, stray bytes before a segment", "stray.jpg",
          QByteArray(jpeg).insert(jpeg.indexOf("\xFF\xDB"), "\x01\x02\x03"), picture.size());
    refuses("truncated bmp", "cut.bmp", half(encoded(picture, "BMP")), cut);
    refuses("bmp of 154 bytes claiming 16384 x 16384", "claim.bmp",
            bmpHeader(16384, 16384, 32, 0, 0, 0) + QByteArray(100, '\0'), cut);
    // Beyond Qt's BMP reader, read by ours when uncompressed.
    refuses("rle bmp of 20000 x 20000", "large-rle.bmp",
            bmpHeader(20000, 20000, 8, 1, 256, 2) + QByteArray("\0\1", 2),
            "a BMP file of more than 16384 x 16384 pixels is read only uncompressed, with 1, 4, 8, "
            "24 or 32 bits a pixel: this one is run-length coded");
    refuses("truncated rle bmp", "cut-rle.bmp", half(bmpRle(40, 30, false)), cut);
    const QImage palette = picture.convertToFormat(QImage::Format_Indexed8);
    refuses("truncated gif", "cut.gif", half(gifFile(palette)), cut);
    refuses("truncated ppm", "cut.ppm", half(encoded(picture, "PPM")), cut);
    refuses("truncated pgm", "cut.pgm", encoded(picture, "PGM").chopped(1), cut);
    refuses("truncated webp", "cut.webp", half(encoded(picture, "WEBP")), cut);
    refuses("truncated xbm", "cut.xbm", half(encoded(picture, "XBM")), cut);
    refuses("truncated tiff", "cut.tif", half(encoded(picture, "TIFF")),
            "Unable to read image data (TIFFFetchDirectory: Can not read TIFF directory");
    // JPEG 2000, by OpenJPEG: nothing of it on standard error either.
    const QByteArray jp2 = jpeg2000File(picture);
    const QByteArray j2k = jpeg2000File(picture, "j2k");
    refuses("truncated jp2", "cut.jp2", half(jp2), cut);
    refuses("j2k without its end marker", "end.j2k", j2k.chopped(2), cut);
    refuses("jp2 claiming 0 x 0", "zero.jp2", jp2Claiming(jp2, 0, 0),
            "damaged JPEG 2000 data: wrong values for: w(0) h(0)");
    refuses("jp2 claiming 100000 x 100000", "huge.jp2", jp2Claiming(jp2, 100000, 100000),
            "Picture too large (100000 x 100000 pixels need 38147 MB; the limit is 4096 MB)");
    QByteArray garbage = jp2.left(12);
    for (int i = 0; i < 500; ++i)
        garbage.append(char(i * 37 + 11));
    refuses("jp2, garbage after its signature", "garbage.jp2", garbage,
            "damaged JPEG 2000 data: malformed JP2 file format: second box must be file type box");
    // Damage found by libpng under Qt's reader: its reason, not its own print.
    QByteArray inside = png;
    inside[inside.indexOf("IDAT") + 6] = char(~inside[inside.indexOf("IDAT") + 6]);
    refuses("png damaged inside", "inside.png", inside, "Unable to read image data (");

    loadsImage("1x1", "dot.png", drawing(1, 1, kCorner), corner);
    loadsImage("1x5000", "tall.png", drawing(1, 5000, kCorner), corner);
    loadsImage("5000x1", "wide.png", drawing(5000, 1, kCorner), corner);
    loadsImage("palette", "palette.png", palette, corner);
    loadsImage("tiff", "scan.tif", drawing(35, 24, kCorner), corner, "TIFF");
    loadsImage("bmp", "scan.bmp", picture, corner, "BMP");
    loads("jp2", "scan.jp2", jp2, picture.size(), corner);
    loads("j2k named .png", "master.png", j2k, picture.size(), corner);
    // libtiff's warning about the tag is not printed.
    loads("tiff with a private tag", "private.tif", tiffWithPrivateTag(9, 4), QSize(9, 4),
          {{0, 0, kBlack}, {8, 3, kWhite}});
    loads("rle bmp", "rle.bmp", bmpRle(40, 30, true), QSize(40, 30),
          {{0, 0, 0x555555}, {2, 0, kWhite}, {3, 0, kBlack}, {3, 29, kWhite}});
    loads("gif", "scan.gif", gifFile(palette), QSize(40, 30), corner);
    loadsImage("blanks, quotes, accents, leading dash",
               QStringLiteral("-plan \"n\xB0 1\" \u00E9t\u00E9 \u00FC.png"), picture, corner);
    QImage deep = drawing(30, 20, kCorner).convertToFormat(QImage::Format_RGBA64);
    deep.setPixelColor(1, 0, QColor::fromRgba64(0x1234, 0x5678, 0x9ABC, 0xFFFF));
    loadsImage("16-bit", "deep.png", deep, {{0, 0, kCorner}, {1, 0, 0x9A5612}});
    QImage grey = drawing(25, 19, kBlack).convertToFormat(QImage::Format_Grayscale8);
    grey.setPixel(0, 0, qRgb(77, 77, 77));
    loadsImage("grey", "grey.png", grey, {{0, 0, 77 * 0x010101}});
    // Transparency is laid on white paper, not taken for ink.
    QImage alpha = drawing(27, 22, kCorner).convertToFormat(QImage::Format_ARGB32);
    alpha.setPixel(5, 5, qRgba(10, 20, 30, 0));
    alpha.setPixel(6, 5, qRgba(10, 20, 30, 128));
    loadsImage("alpha", "alpha.png", alpha,
               {{0, 0, kCorner}, {5, 5, kWhite}, {6, 5, 132 | 137 << 8 | 142 << 16}});
    QImage clear = solidImage(30, 20, kBlack).convertToFormat(QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    clear.setPixel(3, 4, qRgba(0, 0, 0, 255));
    loadsImage("transparent over black", "clear.png", clear, {{0, 0, kWhite}, {3, 4, kBlack}});
    // The background's colour, black in the file's table, is the transparent one.
    QImage sheet = palette;
    const int background = sheet.pixelIndex(3, 0);
    sheet.setColor(background, qRgb(0, 0, 0));
    loads("gif, transparent background", "sheet.gif", gifFile(sheet, background), QSize(40, 30),
          {{0, 0, kCorner}, {1, 0, kBlack}, {3, 0, kWhite}});
}

// What is found where an output is to be written.
enum class Found {
    File,
    Folder,
    Fifo,
    LinkToDevice,
    WriteProtected,
    LinkToWriteProtected,
    Nothing
};

// Puts it at `path`; a link's target goes beside it, as "NAME.target".
bool makeFound(const QString &path, Found found) {
    const QByteArray name = QFile::encodeName(path);
    const QByteArray beside = name + ".target";
    switch (found) {
        case Found::File:
            return solidImage(3, 3, kWhite).save(path);
        case Found::Folder:
            return QDir().mkdir(path);
        case Found::Fifo:
            return mkfifo(name.constData(), 0644) == 0;
        case Found::LinkToDevice:
            return mknod(beside.constData(), S_IFCHR | 0666, makedev(1, 3)) == 0 &&
                   symlink(beside.constData(), name.constData()) == 0;
        case Found::WriteProtected:
            return solidImage(3, 3, kWhite).save(path) && chmod(name.constData(), 0444) == 0;
        case Found::LinkToWriteProtected:
            return solidImage(3, 3, kWhite).save(path + QStringLiteral(".target"), "PNG") &&
                   chmod(beside.constData(), 0444) == 0 &&
                   symlink(beside.constData(), name.constData()) == 0;
        case Found::Nothing:
            return true;
    }
    return false;
}

// Every name in `dir`, with its mode and what it holds or leads to.
QMap<QString, QByteArray> entries(const QString &dir) {
    QMap<QString, QByteArray> found;
    for (const QString &name : QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                   QDir::Hidden | QDir::System)) {
        const QString path = QDir(dir).filePath(name);
        struct stat st;
        if (lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QByteArray value = QByteArray::number(st.st_mode, 8) + ' ';
        QFile file(path);
        if (S_ISLNK(st.st_mode))
            value += QFile::encodeName(QFile::symLinkTarget(path));
        else if (S_ISREG(st.st_mode) && file.open(QIODevice::ReadOnly))
            value += file.readAll();
        found.insert(name, value);
    }
    return found;
}

}  // namespace

Q_DECLARE_METATYPE(Found)

namespace {

// The table of outputs: the name written, in a folder of its own, what is
// found at `at` there, and the reason the output is refused; none for a
// file written.
void outputRows() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("at");
    QTest::addColumn<Found>("found");
    QTest::addColumn<QString>("reason");
    const auto row = [](const char *tag, const char *name, Found found, const QString &reason,
                        const char *at = "out.png") {
        QTest::newRow(tag) << QString(name) << QString(at) << found << reason;
    };
    const QString special =
        QStringLiteral(", not a regular file: outputs only replace regular files");
    row("a file", "out.png", Found::File, "");
    row("nothing yet", "out.png", Found::Nothing, "");
    row("folder", "out.png", Found::Folder, "out.png is a folder" + special);
    row("named pipe", "out.png", Found::Fifo, "out.png is a named pipe" + special);
    row("link to a device", "out.png", Found::LinkToDevice, "out.png.target, a device" + special);
    row("write-protected", "out.png", Found::WriteProtected, "out.png is write-protected");
    row("link to a write-protected file", "out.png", Found::LinkToWriteProtected,
        "out.png is write-protected");
    row("missing folder", "none/out.png", Found::Nothing, "none: No such file or directory");
    row("folder is a file", "out.png/out.png", Found::File, "out.png: Not a directory");
}

}  // namespace

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

    void hostileFile_data() { hostileRows(); }

    // Each row twice. Reload of a loaded picture's file replaced by the row's:
    // the new picture with white masks, or the error report with picture and
    // masks as they were. Then start-up on it: the picture and white masks,
    // or the four-line failure message; a picture goes through the passes.
    // The report's last line names the file and says why in words.
    void hostileFile() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(Special, special);
        QFETCH(QSize, size);
        QFETCH(Probes, probes);
        QFETCH(QString, reason);
        QFETCH(QString, words);
        if (special == Special::Unreadable && geteuid() == 0)
            QSKIP("running as root: permissions do not stop reading");
        if (needsOpenJpeg())
            QSKIP("opj_compress is not installed (libopenjp2-tools)");
        const bool loads = size.isValid();
        QVERIFY(solidImage(20, 10, 0x204060).save(name, "PNG"));
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(name));
        module.picture.PSet(2, 2, kBlack);
        module.Mask.set(2, 2, true);
        module.WorkMask.set(2, 2, true);
        QVERIFY(makeHostile(name, special, content));
        control<QPushButton>(form, "Command1")->click();
        QCOMPARE(form.cancelBoxValue(), 1);
        const QString line = m_messages.value(0).section(QLatin1Char('\n'), -1);
        QVERIFY2(loads || (line.startsWith(QStringLiteral("Cannot open \"%1\": ")
                                               .arg(escapeControls(QFileInfo(name).fileName()))) &&
                           line.endsWith(words)),
                 qPrintable(line));
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
        for (const Probe &probe : probes)
            QCOMPARE(control<PictureBox>(window, "Picture1")->Point(probe.x, probe.y),
                     probe.colour);
        for (const char *pass : {"rgb2nb", "bouchtrou", "affine"}) {
            control<QPushButton>(window, pass)->click();
            checkReport(QString(), QString());
            checkLoaded(window, started, size, false);
        }
    }

    void batchTool_data() { hostileRows(); }

    // The same rows through inkmask-batch, one file at a time after a dark
    // picture of the row's size, so that the row's file is read into that
    // picture's buffer. A row that loads gives the window's painted picture
    // and a mask of its size; a refused one, status 1 and its name with the
    // reason. The picture before it is done either way.
    void batchTool() {
        QFETCH(QString, name);
        QFETCH(QByteArray, content);
        QFETCH(Special, special);
        QFETCH(QSize, size);
        QFETCH(QString, reason);
        if (special == Special::Unreadable && geteuid() == 0)
            QSKIP("running as root: permissions do not stop reading");
        if (needsOpenJpeg())
            QSKIP("opj_compress is not installed (libopenjp2-tools)");
        const bool loads = size.isValid();
        const QSize before = loads ? size : QSize(40, 30);
        QVERIFY(solidImage(before.width(), before.height(), 0x102030).save("before.png"));
        QVERIFY(makeHostile(name, special, content));
        QTemporaryDir out;
        QProcess batch;
        batch.start(QStringLiteral(INKMASK_BATCH),
                    {"-j", "1", "--local", "--output-dir", out.filePath("pictures"), "--mask-dir",
                     out.filePath("masks"), "--", "before.png", name});
        QVERIFY2(batch.waitForFinished(60000), "the batch tool hangs");
        const QString err = QString::fromUtf8(batch.readAllStandardError());
        QCOMPARE(batch.exitStatus(), QProcess::NormalExit);
        // Every line the program's own message, none a library's.
        for (const QString &line : err.split(u'\n', Qt::SkipEmptyParts))
            QVERIFY2(line.startsWith(QStringLiteral("inkmask-batch: ")), qPrintable(err));
        QVERIFY2(batch.exitCode() == (loads ? 0 : 1), qPrintable(err));
        QCOMPARE(QImage(out.filePath("pictures/before.png")).size(), before);
        if (!loads) {
            const QString shown = QString(name)
                                      .replace(u'\x1b', QStringLiteral("\\x1b"))
                                      .replace(u'\t', QStringLiteral("\\t"))
                                      .replace(u'\u009b', QStringLiteral("\\x9b"));
            QVERIFY2(err.contains(shown + QStringLiteral(": cannot read: ")) &&
                         err.contains(reason) && !err.contains(u'\x1b'),
                     qPrintable(err));
            return;
        }
        const QFileInfo input(name);
        const QString output =
            input.completeBaseName() + QLatin1Char('.') +
            (input.suffix() == QLatin1String("tif") ? input.suffix() : QStringLiteral("png"));
        const QImage painted(out.filePath(QStringLiteral("pictures/") + output));
        QCOMPARE(QImage(out.filePath(QStringLiteral("masks/") + output)).size(), size);

        Module1 module;
        Form1 window(module);
        QVERIFY(window.Form_Load(name));
        // The batch tool's default steps, with the local rule, whose paper
        // estimate meets every shape of picture here.
        control<QCheckBox>(window, "ckbLocal")->setChecked(true);
        for (const char *pass : {"rgb2nb", "bouchtrou", "taches"})
            control<QPushButton>(window, pass)->click();
        QCOMPARE(painted.convertToFormat(QImage::Format_RGB32),
                 control<PictureBox>(window, "Picture1")->image());
    }

    void outputPathSave_data() { outputRows(); }

    // Each row as the window's Save: the mask written, or a message naming
    // the file and the reason, with the folder as it was.
    void outputPathSave() {
        QFETCH(QString, name);
        QFETCH(QString, at);
        QFETCH(Found, found);
        QFETCH(QString, reason);
        QTemporaryDir out;
        if (!makeFound(out.filePath(at), found))
            QSKIP("cannot make this here (a device needs root)");
        const auto before = entries(out.path());
        QVERIFY(drawing(40, 30, kCorner).save("scan.png"));
        Module1 module;
        Form1 form(module);
        QVERIFY(form.Form_Load(QStringLiteral("scan.png")));
        const QString path = out.filePath(name);
        int dialogs = 0;
        Form1::setSaveDialog([&](QWidget *, const Form1::SaveRequest &request) {
            return ++dialogs == 1 ? Form1::SaveAnswer{path, request.filter} : Form1::SaveAnswer{};
        });
        MessageBoxes::setQuestionHandler([](QWidget *, const QString &) { return true; });
        control<QPushButton>(form, "Command2")->click();
        Form1::setSaveDialog({});
        MessageBoxes::setQuestionHandler({});
        if (reason.isEmpty()) {
            checkReport(QString(), QString());
            QCOMPARE(QImage(path).depth(), 1);
            return;
        }
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages.first().contains(path), qPrintable(m_messages.first()));
        checkReport(QString(), reason);
        QCOMPARE(entries(out.path()), before);
    }

    void outputPathBatch_data() { outputRows(); }

    // The same rows as inkmask-batch's --mask: written with status 0, or
    // refused with status 2 before anything is read (the input does not
    // exist), naming the file and the reason, with the folder as it was.
    void outputPathBatch() {
        QFETCH(QString, name);
        QFETCH(QString, at);
        QFETCH(Found, found);
        QFETCH(QString, reason);
        QTemporaryDir out;
        if (!makeFound(out.filePath(at), found))
            QSKIP("cannot make this here (a device needs root)");
        const auto before = entries(out.path());
        QVERIFY(drawing(40, 30, kCorner).save("scan.png"));
        const QString path = out.filePath(name);
        QProcess batch;
        batch.start(QStringLiteral(INKMASK_BATCH),
                    {"--mask", path, reason.isEmpty() ? "scan.png" : "absent.png"});
        QVERIFY2(batch.waitForFinished(60000), "the batch tool hangs");
        const QString err = QString::fromUtf8(batch.readAllStandardError());
        QCOMPARE(batch.exitStatus(), QProcess::NormalExit);
        QVERIFY2(batch.exitCode() == (reason.isEmpty() ? 0 : 2), qPrintable(err));
        if (reason.isEmpty()) {
            QCOMPARE(QImage(path).depth(), 1);
            return;
        }
        QVERIFY2(err.section(QLatin1Char('\n'), 0, 0).contains(path) && err.contains(reason),
                 qPrintable(err));
        QCOMPARE(entries(out.path()), before);
    }
};

QTEST_MAIN(TestHostile)
#include "test_hostile.moc"
