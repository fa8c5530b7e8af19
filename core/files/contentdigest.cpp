#include "core/files/contentdigest.h"

#include <QFile>

#include <xxhash.h>

#include <cerrno>
#include <new>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace ink {

struct ContentDigest::State {
    XXH3_state_t *xxh = XXH3_createState();
    ~State() { XXH3_freeState(xxh); }
};

ContentDigest::ContentDigest() : m_state(std::make_unique<State>()) {
    if (!m_state->xxh)
        throw std::bad_alloc();
    XXH3_128bits_reset(m_state->xxh);
}

ContentDigest::~ContentDigest() = default;

void ContentDigest::add(const void *bytes, size_t size) {
    XXH3_128bits_update(m_state->xxh, bytes, size);
}

QByteArray ContentDigest::hex() const {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(m_state->xxh));
    return QByteArray(reinterpret_cast<const char *>(canonical.digest), sizeof canonical.digest)
        .toHex();
}

ShortDigest digestOf(QByteArrayView bytes) {
    const XXH128_hash_t hash = XXH3_128bits(bytes.data(), size_t(bytes.size()));
    return {hash.high64, hash.low64};
}

QByteArray fileDigest(int fd, int *errorNumber) {
    ContentDigest digest;
    std::vector<char> block(size_t(1) << 20);
    for (off_t at = 0;;) {
        const ssize_t n = pread(fd, block.data(), block.size(), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *errorNumber = errno;
            return {};
        }
        if (n == 0)
            return digest.hex();
        digest.add(block.data(), size_t(n));
        at += n;
    }
}

QByteArray fileDigest(const QString &path, QString *error) {
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    int errorNumber = errno;
    QByteArray digest;
    if (fd >= 0) {
        digest = fileDigest(fd, &errorNumber);
        close(fd);
    }
    if (digest.isEmpty())
        *error = qt_error_string(errorNumber);
    return digest;
}

}  // namespace ink
