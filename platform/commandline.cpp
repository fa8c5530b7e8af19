#include "platform/commandline.h"

namespace ink {

QString commandLineText(const QStringList &arguments) {
    return arguments.join(QLatin1Char(' '));
}

QString imagePathFromCommandLine(const QString &commandLine) {
    qsizetype begin = 0;
    qsizetype end = commandLine.size();
    while (begin < end && commandLine.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && commandLine.at(end - 1) == QLatin1Char(' '))
        --end;
    QString path = commandLine.mid(begin, end - begin);
    if (path.size() >= 2 && path.front() == QLatin1Char('"') && path.back() == QLatin1Char('"'))
        path = path.mid(1, path.size() - 2);
    return path;
}

}  // namespace ink
