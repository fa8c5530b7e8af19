// Fuzz target: the threshold text conversion, in locales whose decimal
// separator and digits differ. A text is either refused with error 13, naming
// the box and the text, or gives a finite number; rounding that to a whole
// number is within a half or refused with error 6, and a number such as the
// window writes reads back the same from its own text.

#include "core/runtime/convert.h"
#include "core/runtime/runtimeerror.h"

#include <QLocale>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    static const QLocale::Language languages[] = {QLocale::C, QLocale::English, QLocale::French,
                                                  QLocale::German, QLocale::Arabic};
    QLocale::setDefault(QLocale(languages[data[0] % std::size(languages)]));
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    double value = 0;
    try {
        value = ink::textToDouble(text, QStringLiteral("rbox"));
    } catch (const ink::RuntimeError &error) {
        if (error.number() != ink::RuntimeError::TypeMismatch ||
            !error.description().contains(QLatin1String("rbox")) ||
            !error.description().contains(text))
            std::abort();
        return 0;
    }
    if (!std::isfinite(value) || text.trimmed().isEmpty())
        std::abort();
    // The window writes numbers back with doubleText (the caption of clign,
    // "1" or "2"); they must read back. Only such plain numbers: in Arabic, Qt
    // 6.4 reads back neither its own minus sign nor its exponent notation.
    const QString written = ink::doubleText(value);
    if (value >= 0 && !written.contains(QLocale().exponential()) &&
        ink::textToDouble(written) != value)
        std::abort();
    try {
        const qint32 rounded = ink::roundToInt32(value);
        if (std::fabs(double(rounded) - value) > 0.5)
            std::abort();
    } catch (const ink::RuntimeError &error) {
        if (error.number() != ink::RuntimeError::Overflow || std::fabs(value) < 2147483647.0)
            std::abort();
    }
    return 0;
}
