// inkmask-samplegen: writes a synthetic scanned plan for trying out inkmask.

#include <QCoreApplication>
#include <QFileInfo>
#include <QImageWriter>
#include <QRegularExpression>
#include <QStringList>

#include <cstdio>
#include <utility>

#include "samplegen.h"

namespace {

constexpr int kMaxSide = 50000;
constexpr qint64 kMaxPixels = 600'000'000;

const char kUsage[] =
    "Usage: inkmask-samplegen [--size WxH] [--seed N] [--paper KIND] [--truth FILE] OUTPUT\n"
    "\n"
    "Writes a synthetic colour scan of a floor plan, with typical scan defects,\n"
    "to OUTPUT. The file format follows the extension (e.g. .png, .tif).\n"
    "\n"
    "  --size WxH   image size in pixels (default 1200x900)\n"
    "  --seed N     random seed, 0..4294967295 (default 1)\n"
    "  --paper KIND plain (default), shaded (lit from one side, the far corner\n"
    "               darker than 180 in every channel) or yellowed (aged paper)\n"
    "  --truth FILE also write where the ink is: black ink on white, 8-bit grey\n"
    "  -h, --help   show this help\n";

int fail(const QString &message) {
    std::fprintf(stderr, "inkmask-samplegen: %s\n", qPrintable(message));
    return 1;
}

int usageError(const QString &message) {
    fail(message);
    std::fputs("Try 'inkmask-samplegen --help' for more information.\n", stderr);
    return 2;
}

bool parseSize(const QString &text, int &width, int &height) {
    static const QRegularExpression re(QStringLiteral("^(\\d{1,6})[xX](\\d{1,6})$"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch()) {
        return false;
    }
    const int w = m.captured(1).toInt();
    const int h = m.captured(2).toInt();
    if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide || qint64(w) * h > kMaxPixels) {
        return false;
    }
    width = w;
    height = h;
    return true;
}

}  // namespace

int main(int argc, char *argv[]) {
    // The application object lets QImageWriter find its format plugins (TIFF etc.).
    QCoreApplication app(argc, argv);

    int width = 1200;
    int height = 900;
    quint32 seed = 1;
    QString output;
    QString truthPath;
    ink::SamplePaper paper = ink::SamplePaper::Plain;

    const QStringList args = QCoreApplication::arguments();
    bool optionsDone = false;
    for (int i = 1; i < args.size(); ++i) {
        const QString &arg = args[i];
        const bool looksLikeOption =
            !optionsDone && arg.startsWith(QLatin1Char('-')) && arg.size() > 1;
        if (!looksLikeOption) {
            if (!output.isEmpty()) {
                return usageError(QStringLiteral("more than one output file given"));
            }
            output = arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsDone = true;
            continue;
        }
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        // --name VALUE or --name=VALUE
        const qsizetype eq = arg.indexOf(QLatin1Char('='));
        const QString name = eq < 0 ? arg : arg.left(eq);
        if (name != QLatin1String("--size") && name != QLatin1String("--seed") &&
            name != QLatin1String("--paper") && name != QLatin1String("--truth")) {
            return usageError(QStringLiteral("unknown option '%1'").arg(arg));
        }
        QString value;
        if (eq >= 0) {
            value = arg.mid(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return usageError(QStringLiteral("%1 needs a value").arg(name));
        }
        if (name == QLatin1String("--paper")) {
            if (value == QLatin1String("plain")) {
                paper = ink::SamplePaper::Plain;
            } else if (value == QLatin1String("shaded")) {
                paper = ink::SamplePaper::Shaded;
            } else if (value == QLatin1String("yellowed")) {
                paper = ink::SamplePaper::Yellowed;
            } else {
                return usageError(
                    QStringLiteral("invalid paper '%1' (expected plain, shaded or yellowed)")
                        .arg(value));
            }
        } else if (name == QLatin1String("--truth")) {
            truthPath = value;
        } else if (name == QLatin1String("--size")) {
            if (!parseSize(value, width, height)) {
                return usageError(
                    QStringLiteral("invalid size '%1' (expected WxH, each side 1..%2, "
                                   "at most %3 pixels in all)")
                        .arg(value)
                        .arg(kMaxSide)
                        .arg(kMaxPixels));
            }
        } else {
            bool ok = false;
            const qulonglong n = value.toULongLong(&ok);
            if (!ok || n > 0xffffffffull) {
                return usageError(
                    QStringLiteral("invalid seed '%1' (expected 0..4294967295)").arg(value));
            }
            seed = quint32(n);
        }
    }

    if (output.isEmpty()) {
        return usageError(QStringLiteral("no output file given"));
    }

    for (const QString &path : {output, truthPath}) {
        const QByteArray format = QFileInfo(path).suffix().toLower().toLatin1();
        if (!path.isEmpty() &&
            (format.isEmpty() || !QImageWriter::supportedImageFormats().contains(format))) {
            return fail(QStringLiteral("cannot write '%1': unknown or missing image file extension")
                            .arg(path));
        }
    }

    const ink::SampleScan sample = ink::makeSampleScan(width, height, seed, paper);
    if (sample.scan.isNull()) {
        return fail(QStringLiteral("cannot allocate a %1x%2 image").arg(width).arg(height));
    }

    for (const auto &[path, image] : {std::pair{output, sample.scan}, {truthPath, sample.truth}}) {
        if (path.isEmpty()) {
            continue;
        }
        QImageWriter writer(path, QFileInfo(path).suffix().toLower().toLatin1());
        if (!writer.write(image)) {
            return fail(QStringLiteral("cannot write '%1': %2").arg(path, writer.errorString()));
        }
    }
    return 0;
}
