#pragma once

#include <QString>

#include <exception>
#include <new>
#include <stdexcept>

namespace ink {

// A run-time error as the program reports it: a number and a description.
// Numbers follow the classic numbering users of such tools know:
// 6 overflow, 7 out of memory, 9 subscript out of range, 13 type mismatch.
// Errors of the picture reader carry the reader's own description. The
// detail, when there is one, says in words what went wrong and what the user
// can do: "The R box must hold a number; it holds "l8O"."
class RuntimeError : public std::exception {
public:
    enum Number : int {
        Overflow = 6,
        OutOfMemory = 7,
        SubscriptOutOfRange = 9,
        TypeMismatch = 13,
    };

    RuntimeError(int number, QString description, QString detail = {});

    int number() const noexcept { return m_number; }
    const QString &description() const noexcept { return m_description; }
    const QString &detail() const noexcept { return m_detail; }
    // The same error with `detail` in place of its own.
    RuntimeError withDetail(QString detail) const;
    const char *what() const noexcept override { return m_what.constData(); }

    // The texts that show an error, made here only: the window's report box
    // ("Run-time error '9':", a blank line, the description, the detail on a
    // line of its own) and the one-line form of the batch tool's messages
    // ("error 9: Subscript out of range").
    QString reportText() const;
    QString lineText() const;

    static RuntimeError overflow();
    static RuntimeError outOfMemory();
    static RuntimeError subscriptOutOfRange();
    // `detail` names what held the bad text, e.g. the box it came from.
    static RuntimeError typeMismatch(const QString &detail = {});

private:
    int m_number;
    QString m_description;
    QString m_detail;
    QByteArray m_what;
};

// Runs `allocation`; the standard library's failures to find memory for it
// become error 7, so callers keep what they held and the report says why.
template <typename Allocation>
decltype(auto) allocating(Allocation &&allocation) {
    try {
        return allocation();
    } catch (const std::bad_alloc &) {
        throw RuntimeError::outOfMemory();
    } catch (const std::length_error &) {
        throw RuntimeError::outOfMemory();
    }
}

}  // namespace ink
