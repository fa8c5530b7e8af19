#pragma once

#include <QString>
#include <QtGlobal>

namespace ink {

// Text and number conversions the handlers rely on. All of them report
// failures as RuntimeError (13 for a text that is not a number, 6 for a
// value that does not fit its integer type).

// Converts a text to a double in the user's locale (its decimal separator),
// blanks around the number allowed. A plain number with a dot is accepted too,
// so "180.5" works whatever the locale. Throws error 13 for anything else,
// the empty text included; `what` names the source of the text in the report.
double textToDouble(const QString &text, const QString &what = {});

// Rounds to the nearest integer, halves to even (2.5 -> 2, 3.5 -> 4).
// Throws error 6 when the result does not fit.
qint32 roundToInt32(double value);
qint16 roundToInt16(double value);

// Decimal text of an integer: digits, a leading minus for a negative value,
// no blanks, no leading zeros.
QString integerText(qint64 value);

// Text of a double in the user's locale, shortest form ("2", "0.5").
QString doubleText(double value);

// "True" / "False".
QString booleanText(bool value);

// Overflow-checked 32-bit arithmetic.
qint32 checkedAdd(qint32 a, qint32 b);
qint32 checkedSub(qint32 a, qint32 b);
qint32 checkedMul(qint32 a, qint32 b);

}  // namespace ink
