#include "core/runtime/runtimeerror.h"

namespace ink {

RuntimeError::RuntimeError(int number, QString description, QString detail)
    : m_number(number),
      m_description(std::move(description)),
      m_detail(std::move(detail)),
      m_what(QStringLiteral("Run-time error %1: %2").arg(number).arg(m_description).toUtf8()) {}

RuntimeError RuntimeError::withDetail(QString detail) const {
    return {m_number, m_description, std::move(detail)};
}

QString RuntimeError::reportText() const {
    QString text = QStringLiteral("Run-time error '%1':\n\n%2").arg(m_number).arg(m_description);
    if (!m_detail.isEmpty())
        text += QLatin1Char('\n') + m_detail;
    return text;
}

QString RuntimeError::lineText() const {
    return QStringLiteral("error %1: %2").arg(m_number).arg(m_description);
}

RuntimeError RuntimeError::overflow() {
    return {Overflow, QStringLiteral("Overflow")};
}

RuntimeError RuntimeError::outOfMemory() {
    return {OutOfMemory, QStringLiteral("Out of memory")};
}

RuntimeError RuntimeError::subscriptOutOfRange() {
    return {SubscriptOutOfRange, QStringLiteral("Subscript out of range")};
}

RuntimeError RuntimeError::typeMismatch(const QString &detail) {
    QString text = QStringLiteral("Type mismatch");
    if (!detail.isEmpty())
        text += QStringLiteral(" (") + detail + QLatin1Char(')');
    return {TypeMismatch, text};
}

}  // namespace ink
