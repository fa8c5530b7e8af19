#include "batch/options.h"

#include "batch/report.h"
#include "core/files/contentdigest.h"
#include "core/files/imagefiles.h"

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
#include <limits>
#include <new>
#include <utility>
#include <vector>

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
// the digest of its device and inode when it exists, else of its name with
// the links followed; 16 bytes, for tables of millions of files. `resolved`
// receives that name. Folders are resolved once each, so that a list of
// many files in a few folders costs a stat or two a file.
class FileKeys {
public:
    ShortDigest key(const QString &path, QByteArray *resolved) {
        const QByteArray name = QFile::encodeName(path);
        const qsizetype slash = name.lastIndexOf('/');
        const QByteArray last = name.mid(slash + 1);
        struct stat st;
        if (last.isEmpty() || last == "." || last == ".." ||
            (lstat(name.constData(), &st) == 0 && S_ISLNK(st.st_mode))) {
            *resolved = resolvedFileName(name);  // the last part is a link, or no file's name
        } else {
            const QByteArray folder = slash < 0 ? QByteArray(".") : name.left(qMax(slash, 1));
            auto known = m_folders.constFind(folder);
            if (known == m_folders.cend())
                known = m_folders.insert(folder, resolvedFileName(folder));
            *resolved = known.value() + '/' + last;
        }
        if (stat(resolved->constData(), &st) != 0)
            return digestOf(*resolved);  // begins with '/', as no number does
        return digestOf(QByteArray::number(quint64(st.st_dev)) + ':' +
                        QByteArray::number(quint64(st.st_ino)));
    }

private:
    QHash<QByteArray, QByteArray> m_folders;  // a folder as named -> resolved
};

// Appends the names of the list `list` ("-" for standard input) to
// `inputs`: one name a line, as bytes; a CR before the line's end (a list
// written on Windows) is dropped and empty lines are passed over, every other
// byte is the name's. Names that are not valid UTF-8 go into `notUtf8` by
// their position, as such names on the command line do. A line that no file
// name could be (a NUL byte, more bytes than a path takes) refuses the list,
// and so does running out of memory.
bool readFileList(const QString &list, InputNames *inputs, QSet<int> *notUtf8, QString *error) {
    QFile file;
    const bool standardInput = list == QLatin1String("-");
    if (standardInput)
        file.open(stdin, QIODevice::ReadOnly);
    else
        file.setFileName(list);
    const QString shown = standardInput ? QStringLiteral("standard input") : list;
    if (!standardInput && !file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the list %1: %2").arg(shown, file.errorString());
        return false;
    }
    try {
        LineReader lines(&file, PATH_MAX);  // a name and a CR
        QByteArray line;
        while (lines.next(&line)) {
            if (line.contains('\0')) {
                *error = QStringLiteral(
                             "cannot read the list %1: line %2 holds a NUL byte: give "
                             "one name a line")
                             .arg(shown)
                             .arg(lines.lineNumber());
                return false;
            }
            if (line.endsWith('\r'))
                line.chop(1);
            if (line.isEmpty())
                continue;
            if (!line.isValidUtf8())
                notUtf8->insert(int(inputs->size()));
            inputs->appendBytes(line);
        }
        if (!lines.error().isEmpty()) {
            *error = QStringLiteral("cannot read the list %1: %2").arg(shown, lines.error());
            return false;
        }
    } catch (const std::bad_alloc &) {
        *error = QStringLiteral("out of memory reading the list %1").arg(shown);
        return false;
    }
    return true;
}

// "K/N" with 0 <= K < N.
bool parseShard(const QString &text, int *index, int *count) {
    static const QRegularExpression shard(QStringLiteral("^([0-9]{1,9})/([0-9]{1,9})$"));
    const QRegularExpressionMatch match = shard.match(text);
    if (!match.hasMatch())
        return false;
    *index = match.captured(1).toInt();
    *count = match.captured(2).toInt();
    return *count > 0 && *index < *count;
}

}  // namespace

QList<const PassEntry *> BatchOptions::defaultSteps() {
    QList<const PassEntry *> steps;
    for (const PassEntry &pass : passRegistry()) {
        if (pass.byDefault)
            steps << &pass;
    }
    return steps;
}

QStringList BatchOptions::stepNames() const {
    QStringList names;
    for (const PassEntry *step : steps)
        names << QString(step->name);
    return names;
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
        "       inkmask-batch [options] --files-from LIST [INPUT...]\n"
        "Runs the passes of inkmask on each input image and writes the painted\n"
        "picture and the black-and-white mask.\n"
        "\n"
        "  --steps LIST          passes to run, in order: %1\n"
        "                        (default %2; steps may repeat)\n"
        "  --thresholds R,G,B    NB thresholds, plain numbers with a dot\n"
        "                        (default 180,180,180); auto: each file's own,\n"
        "                        from its histograms, as the window's Ctrl+T\n"
        "  --local               NB compares each channel against the paper\n"
        "                        around the pixel, so that shadows and uneven\n"
        "                        light do not turn black\n"
        "  --speck N             taches removes black specks and fills white\n"
        "                        holes of at most N pixels (default %3)\n"
        "  -o FILE               the painted picture of the one input (.png, .tif)\n"
        "  --output-dir DIR      the painted pictures, named after the inputs\n"
        "  --mask FILE           the mask of the one input, 1 bit, black = ink\n"
        "                        (.png, .tif as Group 4, .pbm)\n"
        "  --mask-dir DIR        the masks, named after the inputs\n"
        "  --changes DIR         per input, NAME.changes.png: what the clean-up\n"
        "                        steps changed, filled blue, erased vermillion,\n"
        "                        over the final mask in light grey\n"
        "  -j N                  files done in parallel (default: the cores)\n"
        "  --files-from LIST     more inputs, one name a line (- for standard input)\n"
        "  --report FILE         appends a JSON line per input as it ends\n"
        "  --shard K/N           only the inputs at positions K, K+N, K+2N... of\n"
        "                        the list (from 0): N runs share one list\n"
        "  --skip-done REPORT    skips inputs done in REPORT with these steps and\n"
        "                        thresholds, whose outputs still hold what it\n"
        "                        records (may repeat)\n"
        "  --quiet               no progress line, no summary line\n"
        "  --help                this text\n"
        "  --version             the version\n"
        "\n"
        "Exit status: 0 done, 1 a file could not be read or written, 2 bad\n"
        "options, 130 interrupted (143 when ended by SIGTERM).\n");
    BatchOptions defaults;
    return usage.arg(passNames().join(QStringLiteral(", ")),
                     defaults.stepNames().join(QLatin1Char(',')),
                     QString::number(kDefaultSpeckSize));
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
    const QCommandLineOption speck(QStringLiteral("speck"), {}, QStringLiteral("N"));
    const QCommandLineOption output(QStringLiteral("o"), {}, QStringLiteral("FILE"));
    const QCommandLineOption outputDir(QStringLiteral("output-dir"), {}, QStringLiteral("DIR"));
    const QCommandLineOption mask(QStringLiteral("mask"), {}, QStringLiteral("FILE"));
    const QCommandLineOption maskDir(QStringLiteral("mask-dir"), {}, QStringLiteral("DIR"));
    const QCommandLineOption changesDir(QStringLiteral("changes"), {}, QStringLiteral("DIR"));
    const QCommandLineOption jobs(QStringLiteral("j"), {}, QStringLiteral("N"));
    const QCommandLineOption filesFrom(QStringLiteral("files-from"), {}, QStringLiteral("FILE"));
    const QCommandLineOption report(QStringLiteral("report"), {}, QStringLiteral("FILE"));
    const QCommandLineOption shard(QStringLiteral("shard"), {}, QStringLiteral("K/N"));
    const QCommandLineOption skipDone(QStringLiteral("skip-done"), {}, QStringLiteral("REPORT"));
    const QCommandLineOption quiet(QStringLiteral("quiet"));
    const QCommandLineOption local(QStringLiteral("local"));
    const QCommandLineOption help(QStringLiteral("help"));
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({steps, thresholds, speck, output, outputDir, mask, maskDir, changesDir, jobs,
                       filesFrom, report, shard, skipDone, quiet, local, help, version});
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
    o.autoThresholds = parser.value(thresholds) == QLatin1String("auto");
    if (parser.isSet(thresholds) && !o.autoThresholds &&
        !parseThresholds(parser.value(thresholds), &o.thresholds))
        return usage(QStringLiteral("bad thresholds \"%1\": give three numbers R,G,B such as "
                                    "180,180,180 or 180.5,90,255, or auto")
                         .arg(parser.value(thresholds)));
    if (parser.isSet(speck)) {
        bool ok = false;
        o.speckSize = parser.value(speck).toInt(&ok);
        if (!ok || o.speckSize < 0)
            return usage(QStringLiteral("bad --speck \"%1\": give a number of pixels, 0 or more")
                             .arg(parser.value(speck)));
    }
    if (parser.isSet(jobs)) {
        bool ok = false;
        o.jobs = parser.value(jobs).toInt(&ok);
        if (!ok || o.jobs < 1)
            return usage(QStringLiteral("bad -j \"%1\": give a number of files, 1 or more")
                             .arg(parser.value(jobs)));
    }
    for (const QCommandLineOption *single :
         {&steps, &thresholds, &speck, &output, &outputDir, &mask, &maskDir, &changesDir, &jobs,
          &report, &shard}) {
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
    o.local = parser.isSet(local);
    o.inputs = parser.positionalArguments();
    o.report = parser.value(report);
    o.skipDone = parser.values(skipDone);
    if (parser.isSet(shard) && !parseShard(parser.value(shard), &o.shardIndex, &o.shardCount))
        return usage(QStringLiteral("bad --shard \"%1\": give K/N, N parts and K from 0 to N - 1")
                         .arg(parser.value(shard)));
    for (int i = 0; i < o.inputs.size(); ++i) {
        if (notUtf8.contains(o.inputs[i]))
            o.notUtf8Inputs.insert(i);
    }
    o.fileLists = parser.values(filesFrom);
    if (o.fileLists.count(QStringLiteral("-")) > 1)
        return usage(QStringLiteral("--files-from - given twice: standard input is read once"));
    for (const QString &list : std::as_const(o.fileLists)) {
        if (notUtf8.contains(list))
            return usage(QStringLiteral("%1: the file name is not valid UTF-8").arg(list));
        if (!readFileList(list, &o.inputs, &o.notUtf8Inputs, &error))
            return usage(error);
    }

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
        if (!file.isEmpty() && format && !format->holds(content))
            return usage(QStringLiteral("%1: %2 cannot hold %3: write %4")
                             .arg(file, format->label, contentDescription(content),
                                  outputExtensions(content)));
        if (!file.isEmpty() && !format)
            return usage(QStringLiteral("%1: the output must be a %2 file")
                             .arg(file, outputExtensions(content)));
    }

    for (const QString *name :
         {&o.output, &o.outputDir, &o.mask, &o.maskDir, &o.changesDir, &o.report}) {
        if (!name->isEmpty() && notUtf8.contains(*name))
            return usage(QStringLiteral("%1: the file name is not valid UTF-8").arg(*name));
    }
    for (const QString &name : std::as_const(o.skipDone)) {
        if (notUtf8.contains(name))
            return usage(QStringLiteral("%1: the file name is not valid UTF-8").arg(name));
    }

    // No output may land on an input or on another output, whatever names
    // the links give them; each output's folder must take new files.
    QByteArray resolved;
    FileKeys keys;
    // Each file by its key: input i as i, list k as -1 - k; output `slot`
    // of input i (the picture, the mask, the changes) as 3 i + slot, the
    // report as -1, so that outputs sort in the order they are checked in.
    // Sorted tables rather than hashes: a million inputs' keys take 24 MB,
    // and running out of memory is an exception to report.
    using Keyed = std::pair<ShortDigest, qsizetype>;
    std::vector<Keyed> inputs;
    inputs.reserve(size_t(o.inputs.size() + o.fileLists.size()));
    for (int i = 0; i < o.inputs.size(); ++i) {
        if (!o.notUtf8Inputs.contains(i))
            inputs.emplace_back(keys.key(o.inputs[i], &resolved), i);
    }
    for (qsizetype k = 0; k < o.fileLists.size(); ++k) {
        if (o.fileLists[k] != QLatin1String("-"))
            inputs.emplace_back(keys.key(o.fileLists[k], &resolved), -1 - k);
    }
    std::sort(inputs.begin(), inputs.end());
    const auto inputName = [&o](qsizetype i) {
        return i >= 0 ? o.inputs.at(i) : o.fileLists.at(-1 - i);
    };
    const auto outputName = [&o](qsizetype n) {
        if (n < 0)
            return o.report;
        const int i = int(n / 3);
        return n % 3 == 0 ? o.pictureFor(i) : n % 3 == 1 ? o.maskFor(i) : o.changesFor(i);
    };
    std::vector<Keyed> outputs;
    QSet<QByteArray> folders;
    // The first problem of one output alone, at output `problemAt`; a folder
    // problem comes after a clash of two outputs at the same output.
    QString problem;
    qsizetype problemAt = std::numeric_limits<qsizetype>::max();
    bool folderProblemFound = false;
    // The report first, then every input's outputs: all of them, shard or
    // not, so that every shard of one list refuses the same clash.
    for (int i = -1; i < o.inputs.size() && problem.isEmpty(); ++i) {
        if (i >= 0 && o.notUtf8Inputs.contains(i))
            continue;  // never read, so never written
        const QStringList targets =
            i < 0 ? QStringList{o.report}
                  : QStringList{o.pictureFor(i), o.maskFor(i), o.changesFor(i)};
        // The folders of --output-dir, --mask-dir and --changes are made
        // when missing; those of -o, --mask and --report must exist.
        const bool madeFolder[] = {i >= 0 && o.output.isEmpty(), o.mask.isEmpty(), true};
        for (qsizetype slot = 0; slot < targets.size() && problem.isEmpty(); ++slot) {
            const QString &target = targets[slot];
            if (target.isEmpty())
                continue;
            const qsizetype at = i < 0 ? -1 : 3 * qsizetype(i) + slot;
            if (QFile::encodeName(QFileInfo(target).fileName()).size() > NAME_MAX) {
                problemAt = at;
                problem = QStringLiteral("%1: the file name is longer than %2 bytes")
                              .arg(target)
                              .arg(NAME_MAX);
                break;
            }
            const ShortDigest key = keys.key(target, &resolved);
            const auto input = std::lower_bound(inputs.cbegin(), inputs.cend(),
                                                Keyed{key, std::numeric_limits<qsizetype>::min()});
            if (input != inputs.cend() && input->first == key) {
                problemAt = at;
                problem = QStringLiteral(
                              "%1 would replace the input %2: outputs are never "
                              "written over inputs")
                              .arg(target, inputName(input->second));
                break;
            }
            outputs.emplace_back(key, at);
            // The report is appended to, whatever it is (a pipe too); other
            // outputs replace only regular files that may be written.
            if (i >= 0) {
                const QString cause = outputFileProblem(target, resolved);
                if (!cause.isEmpty()) {
                    problemAt = at;
                    problem = cause;
                    break;
                }
            }
            const bool made = madeFolder[slot];
            const QByteArray folder = resolved.left(resolved.lastIndexOf('/'));
            if (!folders.contains(folder + char('0' + made))) {
                folders.insert(folder + char('0' + made));
                if (i >= 0 && !o.outputFolders.contains(folder))
                    o.outputFolders << folder;
                const QString cause = outputFolderProblem(resolved, made);
                if (!cause.isEmpty()) {
                    problemAt = at;
                    problem = QStringLiteral("%1: %2").arg(target, cause);
                    folderProblemFound = true;
                }
            }
        }
    }
    // Two outputs on one file: the first output that meets one before it.
    std::sort(outputs.begin(), outputs.end());
    qsizetype clashAt = std::numeric_limits<qsizetype>::max(), clashWith = 0;
    for (size_t k = 1; k < outputs.size(); ++k) {
        if (outputs[k].first == outputs[k - 1].first && outputs[k].second < clashAt) {
            clashAt = outputs[k].second;
            clashWith = outputs[k - 1].second;
        }
    }
    if (clashAt < problemAt || (clashAt == problemAt && folderProblemFound)) {
        const QString target = outputName(clashAt), other = outputName(clashWith);
        if (other == target)
            return usage(QStringLiteral("%1 would be written twice: inputs with the same "
                                        "name, or the same folder for pictures and masks")
                             .arg(target));
        return usage(QStringLiteral("%1 and %2 are the same file: each output needs "
                                    "a file of its own")
                         .arg(other, target));
    }
    if (!problem.isEmpty())
        return usage(problem);
    std::vector<Keyed>().swap(outputs);
    std::vector<Keyed>().swap(inputs);

    // This shard's inputs, less those done before.
    DoneInputs done(o);
    try {
        if (!o.skipDone.isEmpty() && !done.read(o.skipDone, &error))
            return usage(error);
    } catch (const std::bad_alloc &) {
        return usage(QStringLiteral("out of memory reading the reports %1")
                         .arg(o.skipDone.join(QStringLiteral(", "))));
    }
    o.listed = o.inputs.size();
    InputNames kept;
    QSet<int> keptNotUtf8;
    for (int i = 0; i < o.inputs.size(); ++i) {
        if (!inShard(i, o.shardIndex, o.shardCount))
            continue;
        if (!o.skipDone.isEmpty() && !o.notUtf8Inputs.contains(i)) {
            using Kind = FileResult::Output::Kind;
            QList<FileResult::Output> targets;
            for (const auto &[target, kind] :
                 {std::pair{o.maskFor(i), Kind::Mask}, std::pair{o.pictureFor(i), Kind::Picture},
                  std::pair{o.changesFor(i), Kind::Changes}}) {
                if (!target.isEmpty())
                    targets.append({target, kind, 0, {}});
            }
            if (done.isDone(o.inputs[i], targets)) {
                ++o.skipped;
                continue;
            }
        }
        if (o.notUtf8Inputs.contains(i))
            keptNotUtf8.insert(int(kept.size()));
        kept.appendBytes(o.inputs.bytes(i));
    }
    kept.squeeze();
    o.inputs = kept;
    o.notUtf8Inputs = keptNotUtf8;
    // Never so many workers that their buffers alone would fill the memory.
    // Those beyond the files help with the passes of the files.
    o.jobs = std::min(o.jobs, 4 * qMax(1, cores));
    return result;
}

}  // namespace ink
