#include "batch/options.h"

#include "core/platform/imagefiles.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

namespace ink {

namespace {

// The file in `dir` that gets input `input`'s `content`.
QString outputIn(const QString &dir, const QString &input, ImageContent content) {
    return QDir(dir).filePath(outputFileName(input, content));
}

bool parseSteps(const QStringList &values, QList<const PassEntry *> *steps, QString *error) {
    steps->clear();
    for (const QString &value : values) {
        for (const QString &name : value.split(QLatin1Char(','))) {
            const PassEntry *pass = findPass(name.trimmed().toLower());
            if (!pass) {
                *error = QStringLiteral("unknown step \"%1\" (steps are %2)")
                             .arg(name, passNames().join(QStringLiteral(", ")));
                return false;
            }
            steps->append(pass);
        }
    }
    return true;
}

// Option `name` as the user wrote it ("-j", "--steps"), for messages: the
// last such argument before "--"; by default one dash for a one-letter name.
QString typedOption(const QStringList &arguments, const QString &name) {
    QString typed = (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    for (const QString &argument : arguments.mid(1)) {
        if (argument == QLatin1String("--"))
            break;
        const int dashes = argument.startsWith(QLatin1String("--")) ? 2
                           : argument.startsWith(QLatin1Char('-'))  ? 1
                                                                    : 0;
        if (dashes > 0 && argument.mid(dashes).section(QLatin1Char('='), 0, 0) == name)
            typed = argument.left(dashes) + name;
    }
    return typed;
}

// The same key for every name of one file, links and hard links included:
// its device and inode when it exists, else its name with the links
// followed. `resolved` receives that name.
QByteArray fileKey(const QString &path, QByteArray *resolved) {
    *resolved = resolvedFileName(QFile::encodeName(path));
    struct stat st;
    if (stat(resolved->constData(), &st) != 0)
        return *resolved;
    return QByteArray::number(quint64(st.st_dev)) + ':' + QByteArray::number(quint64(st.st_ino));
}

// Why nothing can be made in the folder of the file `resolved`, or empty. A
// folder still to be made is judged by the nearest one that exists; a file
// in the way is left to the write, which reports it.
QString folderProblem(const QByteArray &resolved) {
    QByteArray folder = resolved.left(resolved.lastIndexOf('/'));
    struct stat st;
    while (stat(folder.isEmpty() ? "/" : folder.constData(), &st) != 0) {
        if (errno != ENOENT || folder.isEmpty())
            return {};
        folder.truncate(folder.lastIndexOf('/'));
    }
    if (folder.isEmpty())
        folder = "/";
    if (!S_ISDIR(st.st_mode) || access(folder.constData(), W_OK | X_OK) == 0)
        return {};
    return QStringLiteral("cannot write in %1: %2")
        .arg(QFile::decodeName(folder), qt_error_string(errno));
}

}  // namespace

QList<const PassEntry *> BatchOptions::defaultSteps() {
    QList<const PassEntry *> steps;
    for (const PassEntry &pass : passRegistry())
        steps << &pass;
    return steps;
}

QString BatchOptions::pictureFor(int i) const {
    if (!output.isEmpty())
        return output;
    return outputDir.isEmpty() ? QString()
                               : outputIn(outputDir, inputs.at(i), ImageContent::Picture);
}

QString BatchOptions::maskFor(int i) const {
    if (!mask.isEmpty())
        return mask;
    return maskDir.isEmpty() ? QString() : outputIn(maskDir, inputs.at(i), ImageContent::Mask);
}

QString BatchOptions::changesFor(int i) const {
    return changesDir.isEmpty() ? QString()
                                : QDir(changesDir)
                                      .filePath(QFileInfo(inputs.at(i)).completeBaseName() +
                                                QStringLiteral(".changes.png"));
}

bool parseThresholds(const QString &text, Thresholds *thresholds) {
    static const QRegularExpression number(QStringLiteral("^[+-]?([0-9]+(\\.[0-9]*)?|\\.[0-9]+)$"));
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 3)
        return false;
    double values[3];
    for (int i = 0; i < 3; ++i) {
        const QString part = parts[i].trimmed();
        if (!number.match(part).hasMatch())
            return false;
        bool ok = false;
        values[i] = part.toDouble(&ok);  // QString::toDouble reads a dot whatever the locale
        if (!ok)
            return false;
    }
    *thresholds = Thresholds{values[0], values[1], values[2]};
    return true;
}

QString batchUsage() {
    const QString usage = QStringLiteral(
        "Usage: inkmask-batch [options] INPUT...\n"
        "Runs the passes of inkmask on each input image and writes the painted\n"
        "picture and the black-and-white mask.\n"
        "\n"
        "  --steps LIST          passes to run, in order: %1\n"
        "                        (default %2; steps may repeat)\n"
        "  --thresholds R,G,B    NB thresholds, plain numbers with a dot\n"
        "                        (default 180,180,180)\n"
        "  -o FILE               the painted picture of the one input (.png, .tif)\n"
        "  --output-dir DIR      the painted pictures, named after the inputs\n"
        "  --mask FILE           the mask of the one input, 1 bit, black = ink\n"
        "  --mask-dir DIR        the masks, named after the inputs\n"
        "  --changes DIR         per input, NAME.changes.png: what the clean-up\n"
        "                        steps changed, filled blue, erased vermillion,\n"
        "                        over the final mask in light grey\n"
        "  -j N                  files done in parallel (default: the cores)\n"
        "  --quiet               no progress line\n"
        "  --help                this text\n"
        "  --version             the version\n"
        "\n"
        "Exit status: 0 done, 1 a file could not be read or written, 2 bad\n"
        "options, 130 interrupted.\n");
    const QStringList steps = passNames();
    return usage.arg(steps.join(QStringLiteral(", ")), steps.join(QLatin1Char(',')));
}

ParsedArguments parseBatchArguments(const QStringList &arguments, int cores,
                                    const QSet<QString> &notUtf8) {
    ParsedArguments result;
    BatchOptions &o = result.options;
    o.jobs = qMax(1, cores);
    auto usage = [&](const QString &error) {
        result.action = ParsedArguments::Usage;
        result.error = error;
        return result;
    };

    QCommandLineParser parser;
    const QCommandLineOption steps(QStringLiteral("steps"), {}, QStringLiteral("LIST"));
    const QCommandLineOption thresholds(QStringLiteral("thresholds"), {}, QStringLiteral("R,G,B"));
    const QCommandLineOption output(QStringLiteral("o"), {}, QStringLiteral("FILE"));
    const QCommandLineOption outputDir(QStringLiteral("output-dir"), {}, QStringLiteral("DIR"));
    const QCommandLineOption mask(QStringLiteral("mask"), {}, QStringLiteral("FILE"));
    const QCommandLineOption maskDir(QStringLiteral("mask-dir"), {}, QStringLiteral("DIR"));
    const QCommandLineOption changesDir(QStringLiteral("changes"), {}, QStringLiteral("DIR"));
    const QCommandLineOption jobs(QStringLiteral("j"), {}, QStringLiteral("N"));
    const QCommandLineOption quiet(QStringLiteral("quiet"));
    const QCommandLineOption help(QStringLiteral("help"));
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({steps, thresholds, output, outputDir, mask, maskDir, changesDir, jobs, quiet,
                       help, version});
    if (!parser.parse(arguments)) {
        if (!parser.unknownOptionNames().isEmpty())
            return usage(QStringLiteral("unknown option %1")
                             .arg(typedOption(arguments, parser.unknownOptionNames().first())));
        return usage(parser.errorText());
    }
    if (parser.isSet(help)) {
        result.action = ParsedArguments::Help;
        return result;
    }
    if (parser.isSet(version)) {
        result.action = ParsedArguments::Version;
        return result;
    }

    QString error;
    if (parser.isSet(steps) && !parseSteps(parser.values(steps), &o.steps, &error))
        return usage(error);
    if (parser.isSet(thresholds) && !parseThresholds(parser.value(thresholds), &o.thresholds))
        return usage(QStringLiteral("bad thresholds \"%1\": give three numbers R,G,B such as "
                                    "180,180,180 or 180.5,90,255")
                         .arg(parser.value(thresholds)));
    if (parser.isSet(jobs)) {
        bool ok = false;
        o.jobs = parser.value(jobs).toInt(&ok);
        if (!ok || o.jobs < 1)
            return usage(QStringLiteral("bad -j \"%1\": give a number of files, 1 or more")
                             .arg(parser.value(jobs)));
    }
    for (const QCommandLineOption *single :
         {&steps, &thresholds, &output, &outputDir, &mask, &maskDir, &changesDir, &jobs}) {
        if (single != &steps && parser.values(*single).size() > 1)
            return usage(QStringLiteral("%1 given twice")
                             .arg(typedOption(arguments, single->names().first())));
    }
    o.output = parser.value(output);
    o.outputDir = parser.value(outputDir);
    o.mask = parser.value(mask);
    o.maskDir = parser.value(maskDir);
    o.changesDir = parser.value(changesDir);
    o.quiet = parser.isSet(quiet);
    o.inputs = parser.positionalArguments();

    if (o.inputs.isEmpty())
        return usage(QStringLiteral("no input file"));
    if (!o.output.isEmpty() && !o.outputDir.isEmpty())
        return usage(QStringLiteral("give -o or --output-dir, not both"));
    if (!o.mask.isEmpty() && !o.maskDir.isEmpty())
        return usage(QStringLiteral("give --mask or --mask-dir, not both"));
    if (o.output.isEmpty() && o.outputDir.isEmpty() && o.mask.isEmpty() && o.maskDir.isEmpty() &&
        o.changesDir.isEmpty())
        return usage(
            QStringLiteral("nothing to write: give -o, --output-dir, --mask, "
                           "--mask-dir or --changes"));
    if ((!o.output.isEmpty() || !o.mask.isEmpty()) && o.inputs.size() > 1)
        return usage(
            QStringLiteral("-o and --mask take one input; for several, use "
                           "--output-dir and --mask-dir"));
    for (const auto &[file, content] :
         {std::pair{o.output, ImageContent::Picture}, std::pair{o.mask, ImageContent::Mask}}) {
        const OutputFormat *format = outputFormatFor(file);
        if (!file.isEmpty() && !(format && format->holds(content)))
            return usage(QStringLiteral("%1: the output must be a %2 file")
                             .arg(file, outputExtensions(content)));
    }

    for (const QString *name : {&o.output, &o.outputDir, &o.mask, &o.maskDir, &o.changesDir}) {
        if (!name->isEmpty() && notUtf8.contains(*name))
            return usage(QStringLiteral("%1: the file name is not valid UTF-8").arg(*name));
    }
    for (int i = 0; i < o.inputs.size(); ++i) {
        if (notUtf8.contains(o.inputs[i]))
            o.notUtf8Inputs.insert(i);
    }
    // Never more workers than files, nor so many that their buffers alone
    // would fill the memory.
    o.jobs = std::min({o.jobs, int(o.inputs.size()), 4 * qMax(1, cores)});

    // No output may land on an input or on another output, whatever names
    // the links give them; each output's folder must take new files.
    QByteArray resolved;
    QHash<QByteArray, QString> inputs;
    for (int i = 0; i < o.inputs.size(); ++i) {
        if (!o.notUtf8Inputs.contains(i))
            inputs.insert(fileKey(o.inputs[i], &resolved), o.inputs[i]);
    }
    QHash<QByteArray, QString> outputs;
    QSet<QByteArray> folders;
    for (int i = 0; i < o.inputs.size(); ++i) {
        if (o.notUtf8Inputs.contains(i))
            continue;  // never read, so never written
        for (const QString &target : {o.pictureFor(i), o.maskFor(i), o.changesFor(i)}) {
            if (target.isEmpty())
                continue;
            if (QFile::encodeName(QFileInfo(target).fileName()).size() > NAME_MAX)
                return usage(QStringLiteral("%1: the file name is longer than %2 bytes")
                                 .arg(target)
                                 .arg(NAME_MAX));
            const QByteArray key = fileKey(target, &resolved);
            if (inputs.contains(key))
                return usage(QStringLiteral("%1 would replace the input %2: outputs are never "
                                            "written over inputs")
                                 .arg(target, inputs.value(key)));
            const QString other = outputs.value(key);
            if (other == target)
                return usage(QStringLiteral("%1 would be written twice: inputs with the same "
                                            "name, or the same folder for pictures and masks")
                                 .arg(target));
            if (!other.isEmpty())
                return usage(QStringLiteral("%1 and %2 are the same file: each output needs "
                                            "a file of its own")
                                 .arg(other, target));
            outputs.insert(key, target);
            const QByteArray folder = resolved.left(resolved.lastIndexOf('/'));
            if (!folders.contains(folder)) {
                folders.insert(folder);
                const QString problem = folderProblem(resolved);
                if (!problem.isEmpty())
                    return usage(QStringLiteral("%1: %2").arg(target, problem));
            }
        }
    }
    return result;
}

}  // namespace ink
