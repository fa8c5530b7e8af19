#include "core/session/saving.h"

#include "core/runtime/runtimeerror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <new>

#include <sys/stat.h>

namespace ink {

namespace {

QString contentName(ImageContent content) {
    return content == ImageContent::Mask ? QStringLiteral("Mask") : QStringLiteral("Picture");
}

QList<SaveChoice> makeChoices() {
    QList<SaveChoice> choices;
    for (const ImageContent content : {ImageContent::Mask, ImageContent::Picture}) {
        for (const OutputFormat &format : outputFormats()) {
            if (!format.holds(content))
                continue;
            QStringList patterns;
            for (const QString &extension : format.extensions)
                patterns << QStringLiteral("*.") + extension;
            choices.append(
                {content, &format,
                 QStringLiteral("%1, %2 (%3)")
                     .arg(contentName(content), format.label, patterns.join(QLatin1Char(' ')))});
        }
    }
    return choices;
}

}  // namespace

const QList<SaveChoice> &saveChoices() {
    static const QList<SaveChoice> choices = makeChoices();
    return choices;
}

QStringList saveFilters() {
    QStringList filters;
    for (const SaveChoice &choice : saveChoices())
        filters << choice.filter;
    return filters;
}

const SaveChoice *saveChoiceFor(const QString &filter) {
    for (const SaveChoice &choice : saveChoices()) {
        if (choice.filter == filter)
            return &choice;
    }
    return nullptr;
}

namespace {

// The name Save proposes, without its folder.
QString proposedName(const QString &imagePath, const SaveChoice &choice) {
    QString base = QFileInfo(imagePath).completeBaseName();
    if (base.isEmpty())
        base = QStringLiteral("scan");
    return base +
           (choice.content == ImageContent::Mask ? QStringLiteral("-mask.")
                                                 : QStringLiteral("-painted.")) +
           choice.format->extensions.first();
}

}  // namespace

QString defaultSaveName(const QString &imagePath, const SaveChoice &choice) {
    return QDir(QFileInfo(imagePath).path()).filePath(proposedName(imagePath, choice));
}

QString renamedForChoice(const QString &name, const QString &imagePath, const SaveChoice &choice) {
    const QFileInfo typed(name);
    const QString fileName = typed.fileName();
    if (fileName.isEmpty())
        return name;
    const QString folder = name.left(name.size() - fileName.size());
    for (const SaveChoice &other : saveChoices()) {
        if (fileName == proposedName(imagePath, other))
            return folder + proposedName(imagePath, choice);
    }
    const OutputFormat *format = outputFormatFor(fileName);
    if (!format || format == choice.format)
        return name;
    return name.chopped(typed.suffix().size()) + choice.format->extensions.first();
}

SaveTarget saveTarget(const QString &typed, const SaveChoice &chosen) {
    const OutputFormat *format = outputFormatFor(typed);
    if (!format)
        return {typed + QLatin1Char('.') + chosen.format->extensions.first(), &chosen, {}};
    for (const SaveChoice &choice : saveChoices()) {
        if (choice.content == chosen.content && choice.format == format)
            return {typed, &choice, {}};
    }
    return {
        {},
        nullptr,
        QStringLiteral("%1\ncannot hold %2: a %3 file holds only %4. Name it with %5, or "
                       "choose another type.")
            .arg(QDir::toNativeSeparators(typed), contentDescription(chosen.content), format->label,
                 contentDescription(chosen.content == ImageContent::Mask ? ImageContent::Picture
                                                                         : ImageContent::Mask),
                 outputExtensions(chosen.content))};
}

bool sameFile(const QString &a, const QString &b) {
    const QByteArray ra = resolvedFileName(QFile::encodeName(a));
    const QByteArray rb = resolvedFileName(QFile::encodeName(b));
    if (ra == rb)
        return true;
    struct stat sa;
    struct stat sb;
    return stat(ra.constData(), &sa) == 0 && stat(rb.constData(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

QString saveRefusal(bool passRunning, const QImage &picture) {
    if (passRunning)
        return QStringLiteral("A pass is running: save once it has stopped or ended.");
    if (picture.isNull())
        return QStringLiteral("There is no picture to save.");
    return {};
}

QString replaceScanQuestion(const QString &path, ImageContent content) {
    return QStringLiteral("%1\nis the scan being worked on. Replace it with the %2?")
        .arg(QDir::toNativeSeparators(path), content == ImageContent::Mask
                                                 ? QStringLiteral("mask")
                                                 : QStringLiteral("painted picture"));
}

QString replaceFileQuestion(const QString &path, ImageContent content) {
    return QStringLiteral("%1\nalready exists. Replace it with the %2?")
        .arg(QDir::toNativeSeparators(path), content == ImageContent::Mask
                                                 ? QStringLiteral("mask")
                                                 : QStringLiteral("painted picture"));
}

QString saveProblem(const QString &path) {
    const QByteArray resolved = resolvedFileName(QFile::encodeName(path));
    QString problem = outputFileProblem(QDir::toNativeSeparators(path), resolved);
    if (problem.isEmpty())
        problem = outputFolderProblem(resolved, false);
    return problem.isEmpty() ? QString()
                             : QStringLiteral("Cannot write %1:\n%2")
                                   .arg(QDir::toNativeSeparators(path), problem);
}

bool saveImage(const Module1 &module, ImageContent content, const QString &path, QString *message,
               const GeoReference &geo) {
    const QImage &picture = module.picture.original();
    QString error;
    bool written = false;
    QString failedPath = path;
    try {
        OutputSet set;
        if (content == ImageContent::Mask) {
            const QImage mask = maskImage(module.Mask, picture);
            if (mask.isNull())
                throw RuntimeError::outOfMemory();
            written = set.add(mask, path, &error, nullptr, geo.tiffTags);
        } else {
            written = set.add(module.picture.image(), path, &error, nullptr, geo.tiffTags);
        }
        // Saved over the scan, by the user's leave, the scan's world file
        // already holds what the output's would.
        const QByteArray world = geo.worldFileFor(path);
        const QString worldPath = worldFileName(path);
        if (written && !world.isEmpty() &&
            !(!geo.worldFileName.isEmpty() && sameFile(worldPath, geo.worldFileName))) {
            failedPath = worldPath;
            error = worldFileProblem(worldPath, module.ImagePath, {});
            written = error.isEmpty() && set.add(world, worldPath, &error);
        }
        if (written) {
            written = set.commit(&error);
            if (!written)
                failedPath = set.failedPath();
        }
    } catch (const RuntimeError &e) {
        error = e.description();
    } catch (const std::bad_alloc &) {
        error = RuntimeError::outOfMemory().description();
    }
    if (!written)
        *message =
            QStringLiteral("Cannot write %1:\n%2").arg(QDir::toNativeSeparators(failedPath), error);
    return written;
}

}  // namespace ink
