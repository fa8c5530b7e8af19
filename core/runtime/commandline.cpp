#include "core/runtime/commandline.h"

#include <QByteArray>
#include <QStringDecoder>

#include <algorithm>

namespace ink {

QString commandLineText(const QStringList &arguments) {
    return arguments.join(QLatin1Char(' '));
}

CommandLine commandLineFromArgv(int argc, const char *const *argv) {
    QByteArray bytes;
    for (int i = 1; i < argc && argv[i]; ++i) {
        if (i > 1)
            bytes += ' ';
        bytes += argv[i];
    }
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    CommandLine commandLine;
    commandLine.text = utf8(bytes);
    commandLine.validUtf8 = !utf8.hasError();
    return commandLine;
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

QString escapeControls(const QString &text) {
    const auto control = [](QChar c) {
        return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F);
    };
    if (std::none_of(text.begin(), text.end(), control))
        return text;
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (!control(c))
            out += c;
        else if (c == u'\t')
            out += QLatin1StringView("\\t");
        else if (c == u'\n')
            out += QLatin1StringView("\\n");
        else if (c == u'\r')
            out += QLatin1StringView("\\r");
        else
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
    }
    return out;
}

}  // namespace ink
