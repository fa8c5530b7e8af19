// Fuzz target: the command-line clean-up. Whatever the text, the image path is
// the text without its leading and trailing blanks, less one pair of quotes
// around the whole of it, and the program's arguments joined by blanks give
// the same path as the text they came from.

#include "core/runtime/commandline.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdlib>

namespace {

// The rule written the plain way, one character at a time.
QString expectedPath(QString text) {
    while (text.startsWith(QLatin1Char(' ')))
        text.remove(0, 1);
    while (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    if (text.size() >= 2 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"')))
        text = text.mid(1, text.size() - 2);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString path = ink::imagePathFromCommandLine(text);
    if (path != expectedPath(text))
        std::abort();
    if (path.size() > text.size())
        std::abort();

    // The same text handed over as arguments, split at every blank.
    const QString joined = ink::commandLineText(text.split(QLatin1Char(' ')));
    if (joined != text || ink::imagePathFromCommandLine(joined) != path)
        std::abort();
    return 0;
}
