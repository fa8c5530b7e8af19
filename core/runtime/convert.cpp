#include "core/runtime/convert.h"

#include "core/runtime/runtimeerror.h"

#include <QLocale>
#include <QtNumeric>

#include <cmath>
#include <limits>

namespace ink {

namespace {

double parseWith(QLocale locale, const QString &text, bool *ok) {
    // Group separators would turn "1,5" into 15 in some locales: refuse them.
    locale.setNumberOptions(QLocale::RejectGroupSeparator);
    return locale.toDouble(text, ok);
}

template <typename Int>
Int roundChecked(double value) {
    if (std::isnan(value))
        throw RuntimeError::overflow();
    // The default floating-point rounding mode rounds halves to even.
    const double r = std::nearbyint(value);
    if (r < double(std::numeric_limits<Int>::min()) || r > double(std::numeric_limits<Int>::max()))
        throw RuntimeError::overflow();
    return Int(r);
}

}  // namespace

double textToDouble(const QString &text, const QString &what) {
    const QString trimmed = text.trimmed();
    bool ok = false;
    double value = 0;
    if (!trimmed.isEmpty()) {
        value = parseWith(QLocale(), trimmed, &ok);
        if (!ok)
            value = parseWith(QLocale::c(), trimmed, &ok);
    }
    if (!ok || !std::isfinite(value)) {
        QString detail = what;
        if (!detail.isEmpty())
            detail += QStringLiteral(": ");
        detail += QLatin1Char('"') + text + QLatin1Char('"');
        throw RuntimeError::typeMismatch(detail);
    }
    return value;
}

qint32 roundToInt32(double value) {
    return roundChecked<qint32>(value);
}

qint16 roundToInt16(double value) {
    return roundChecked<qint16>(value);
}

QString integerText(qint64 value) {
    return QString::number(value);
}

QString doubleText(double value) {
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(value, 'g', QLocale::FloatingPointShortest);
}

QString booleanText(bool value) {
    return value ? QStringLiteral("True") : QStringLiteral("False");
}

qint32 checkedAdd(qint32 a, qint32 b) {
    qint32 r;
    if (qAddOverflow(a, b, &r))
        throw RuntimeError::overflow();
    return r;
}

qint32 checkedSub(qint32 a, qint32 b) {
    qint32 r;
    if (qSubOverflow(a, b, &r))
        throw RuntimeError::overflow();
    return r;
}

qint32 checkedMul(qint32 a, qint32 b) {
    qint32 r;
    if (qMulOverflow(a, b, &r))
        throw RuntimeError::overflow();
    return r;
}

}  // namespace ink
