#pragma once

// What a file holds, in 32 hex digits: XXH3's 128-bit hash of its bytes, so
// that a later run can tell whether an output is still the one written.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <compare>
#include <memory>

namespace ink {

// The hash of bytes given in order, a block at a time.
class ContentDigest {
public:
    ContentDigest();
    ~ContentDigest();
    ContentDigest(const ContentDigest &) = delete;
    ContentDigest &operator=(const ContentDigest &) = delete;

    void add(const void *bytes, size_t size);
    QByteArray hex() const;  // of the bytes so far

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// XXH3's 128-bit hash of a few bytes, as two numbers: a key for tables of
// many names that would take far more memory kept whole.
struct ShortDigest {
    quint64 high = 0;
    quint64 low = 0;
    friend auto operator<=>(const ShortDigest &, const ShortDigest &) = default;
};
ShortDigest digestOf(QByteArrayView bytes);
inline size_t qHash(const ShortDigest &d, size_t seed = 0) {
    return size_t(d.low) ^ seed;
}

// The digest of the open file `fd`'s bytes from its start, read with
// pread(); empty, with the errno in `errorNumber`, when it cannot be read.
QByteArray fileDigest(int fd, int *errorNumber);

// The same for the file `path`; empty, with the reason, when it cannot be
// read.
QByteArray fileDigest(const QString &path, QString *error);

}  // namespace ink
