#include "core/files/imagefiles.h"

#include "core/files/contentdigest.h"
#include "core/files/pngcodec.h"
#include "core/files/tiffwriter.h"
#include "core/runtime/runtimeerror.h"

#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QRandomGenerator>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include <csignal>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ink {

namespace {

// The temporary files in flight, for removeTemporaryFiles(). A slot's state
// says whether its name may be on disk: a writer lists the name before it
// makes the file and takes it off after the rename or the removal.
enum SlotState : int { kFree, kClaimed, kListed, kClosed };
static_assert(std::atomic<int>::is_always_lock_free);

struct TemporarySlot {
    std::atomic<int> state{kFree};
    char name[PATH_MAX];
};

TemporarySlot *g_slots = nullptr;
int g_slotCount = 0;
// Set by removeTemporaryFiles(): no commit starts after it. The commits
// whose renames are under way, which it waits for.
std::atomic<bool> g_closed{false};
std::atomic<int> g_committing{0};

// This host's name, for the names of temporaries: no slash, never empty.
const QByteArray &hostName() {
    static const QByteArray name = [] {
        char buffer[256] = {};
        QByteArray host;
        if (gethostname(buffer, sizeof buffer - 1) == 0)
            host = buffer;
        host.replace('/', '_');
        return host.isEmpty() ? QByteArray("localhost") : host;
    }();
    return name;
}

// ".inkmask-HOST-PID-": the start of this process's temporaries.
QByteArray temporaryPrefix() {
    return "/.inkmask-" + hostName() + '-' + QByteArray::number(qint64(getpid())) + '-';
}

// One write's temporary file: made in the target folder under a fresh name,
// listed while it may exist, and removed unless rename() moved it into
// place. On failure, error() is the errno of the step that failed.
class TemporaryFile {
public:
    explicit TemporaryFile(const QByteArray &folder) {
        if (!claimSlot())
            return;
        static constexpr char kLetters[] =
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        for (int attempt = 0; attempt < 100; ++attempt) {
            QByteArray name = folder + temporaryPrefix();
            for (int i = 0; i < 8; ++i)
                name += kLetters[QRandomGenerator::global()->bounded(int(sizeof kLetters) - 1)];
            if (!list(name))
                return;
            m_fd = open(name.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (m_fd >= 0) {
                m_name = name;
                break;
            }
            if (errno != EEXIST) {
                m_error = errno;
                return;
            }
        }
        if (m_fd < 0) {
            m_error = EEXIST;
        } else if (m_slot && m_slot->state.load() == kClosed) {
            // Ctrl-C ended the program while the file was being made.
            m_error = EINTR;
            discard();
        }
    }
    ~TemporaryFile() {
        discard();
        if (m_slot) {
            int state = m_slot->state.load();
            while (state != kClosed && !m_slot->state.compare_exchange_weak(state, kFree)) {
            }
        }
    }
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    int fd() const { return m_fd; }
    int error() const { return m_error; }

    // Syncs and closes the file.
    bool sync() {
        int result;
        do
            result = fsync(m_fd);
        while (result != 0 && errno == EINTR);
        if (result != 0 || close(std::exchange(m_fd, -1)) != 0) {
            m_error = errno;
            return false;
        }
        return true;
    }

    // Renames the file, synced, to `target`.
    bool rename(const QByteArray &target) {
        if (::rename(m_name.constData(), target.constData()) != 0) {
            m_error = errno;
            return false;
        }
        m_name.clear();
        return true;
    }

private:
    bool claimSlot() {
        for (int i = 0; i < g_slotCount; ++i) {
            int state = kFree;
            if (g_slots[i].state.compare_exchange_strong(state, kClaimed)) {
                m_slot = &g_slots[i];
                return true;
            }
            if (state == kClosed) {
                m_error = EINTR;
                return false;
            }
        }
        return true;  // more writers than slots: this one goes unlisted
    }

    // Puts `name` in the slot, for a signal handler to remove once the file
    // may exist.
    bool list(const QByteArray &name) {
        if (!m_slot)
            return true;
        if (size_t(name.size()) >= sizeof m_slot->name) {
            m_error = ENAMETOOLONG;
            return false;
        }
        int state = kListed;
        m_slot->state.compare_exchange_strong(state, kClaimed);
        if (state != kClaimed && state != kListed) {
            m_error = EINTR;
            return false;
        }
        std::memcpy(m_slot->name, name.constData(), size_t(name.size()) + 1);
        state = kClaimed;
        if (!m_slot->state.compare_exchange_strong(state, kListed)) {
            m_error = EINTR;
            return false;
        }
        return true;
    }

    void discard() {
        if (m_fd >= 0)
            close(std::exchange(m_fd, -1));
        if (!m_name.isEmpty())
            unlink(m_name.constData());
        m_name.clear();
    }

    TemporarySlot *m_slot = nullptr;
    QByteArray m_name;  // while the file may exist
    int m_fd = -1;
    int m_error = 0;
};

// The temporary file as the image writers see it. A failed write is kept
// with its errno, and the writer is told that it succeeded: libpng would
// otherwise print its own "Write Error" line, which gives no cause. The
// bytes are hashed as they go out while they come in order (PNG, PBM); a
// writer that goes back (TIFF's header) has the file read again instead.
class FileSink : public QIODevice {
public:
    explicit FileSink(int fd) : m_fd(fd) {}

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_size; }
    int error() const { return m_error; }

    // The digest of the file's bytes; empty, with error() set, on failure.
    QByteArray digest() {
        if (m_inOrder)
            return m_digest.hex();
        const QByteArray again = fileDigest(m_fd, &m_error);
        if (again.isEmpty() && m_error == 0)
            m_error = EIO;
        return again;
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override {
        ssize_t n;
        do
            n = pread(m_fd, data, size_t(maxSize), off_t(pos()));
        while (n < 0 && errno == EINTR);
        return n;
    }
    qint64 writeData(const char *data, qint64 size) override {
        const off_t at = off_t(pos());
        for (qint64 done = 0; m_error == 0 && done < size;) {
            const ssize_t n = pwrite(m_fd, data + done, size_t(size - done), at + off_t(done));
            if (n > 0)
                done += n;
            else if (n == 0)
                m_error = EIO;
            else if (errno != EINTR)
                m_error = errno;
        }
        m_inOrder = m_inOrder && at == m_size;
        if (m_inOrder)
            m_digest.add(data, size_t(size));
        m_size = std::max(m_size, pos() + size);
        return size;
    }

private:
    int m_fd;
    int m_error = 0;
    qint64 m_size = 0;
    ContentDigest m_digest;  // of the bytes, while each write went on from the last
    bool m_inOrder = true;
};

// PNG: the painted picture and the mask through the fast encoder, anything
// else (a picture with text or a colour space) through Qt's writer.
// The image the rvalue form of OutputSet::add() is writing on this thread,
// whose pixels may serve as working memory.
thread_local QImage *t_consumable = nullptr;

bool writePngFile(const QImage &image, QIODevice *device, QString *error) {
    if (pngWrites(image) && t_consumable && t_consumable->constBits() == image.constBits())
        return writePngConsuming(*t_consumable, device, error);
    if (pngWrites(image))
        return writePng(image, device, error);
    QImageWriter writer(device, "png");
    if (writer.write(image))
        return true;
    *error = writer.errorString();
    return false;
}

bool failed(QString *error, int errorNumber) {
    *error = qt_error_string(errorNumber);
    return false;
}

}  // namespace

void reserveTemporaryFiles(int count) {
    g_slots = new TemporarySlot[size_t(count)];
    g_slotCount = count;
}

void removeTemporaryFiles() {
    // A commit that saw the flag clear renames all its files: wait for it,
    // so that no file's outputs are left half renamed. Its thread holds the
    // signals meanwhile, so this never runs on that thread.
    g_closed.store(true);
    while (g_committing.load() > 0) {
        const timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
    for (int i = 0; i < g_slotCount; ++i) {
        if (g_slots[i].state.exchange(kClosed) == kListed)
            unlink(g_slots[i].name);
    }
}

void removeStaleTemporaries(const QByteArray &folder) {
    DIR *dir = opendir(folder.constData());
    if (!dir)
        return;
    const QByteArray ours = ".inkmask-" + hostName() + '-';
    while (const dirent *entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith(ours))
            continue;
        // HOST-PID-XXXXXXXX: the host's name may hold dashes, the rest not.
        const QByteArray rest = name.mid(ours.size());
        const qsizetype dash = rest.indexOf('-');
        bool ok = false;
        const qint64 pid = rest.left(dash).toLongLong(&ok);
        if (!ok || pid <= 0 || pid > INT_MAX || dash < 0 || rest.size() - dash - 1 != 8 ||
            pid == qint64(getpid()))
            continue;
        // Only a process that is gone: EPERM is a live one of another user.
        if (kill(pid_t(pid), 0) == 0 || errno != ESRCH)
            continue;
        struct stat st;
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode))
            unlinkat(dirfd(dir), entry->d_name, 0);
    }
    closedir(dir);
}

QByteArray resolvedFileName(const QByteArray &path) {
    QByteArray resolved;  // no trailing slash: empty for the root
    if (!path.startsWith('/')) {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd))
            resolved = cwd;
        if (resolved == "/")
            resolved.clear();
    }
    std::vector<QByteArray> pending;  // the parts still to walk, the next last
    const auto push = [&pending](const QByteArray &parts) {
        const QByteArrayList list = parts.split('/');
        pending.insert(pending.end(), list.rbegin(), list.rend());
    };
    push(path);
    int links = 0;
    while (!pending.empty()) {
        const QByteArray part = std::move(pending.back());
        pending.pop_back();
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..") {
            resolved.truncate(std::max(qsizetype(0), resolved.lastIndexOf('/')));
            continue;
        }
        const QByteArray next = resolved + '/' + part;
        char target[PATH_MAX];
        const ssize_t n = links < 40 ? readlink(next.constData(), target, sizeof target) : -1;
        if (n > 0 && size_t(n) < sizeof target) {
            ++links;
            if (target[0] == '/')
                resolved.clear();
            push(QByteArray(target, n));
            continue;
        }
        resolved = next;
    }
    return resolved.isEmpty() ? QByteArray("/") : resolved;
}

const QList<OutputFormat> &outputFormats() {
    static const QList<OutputFormat> formats{
        {.label = QStringLiteral("PNG"),
         .extensions = {QStringLiteral("png")},
         .writerName = "png",
         .holdsMask = true,
         .holdsPicture = true,
         .sizeLimit = 1000000,  // libpng's limit on either side
         .subType = {},
         .compression = -1,
         .write = writePngFile},
        // Masks as CCITT Group 4, as document archives keep them; pictures
        // as Deflate-compressed RGB.
        {.label = QStringLiteral("TIFF"),
         .extensions = {QStringLiteral("tif"), QStringLiteral("tiff")},
         .writerName = "tiff",
         .holdsMask = true,
         .holdsPicture = true,
         .sizeLimit = 0,
         .subType = {},
         .compression = -1,
         .write = writeTiff},
        // The raw bitmap that vectorisers read: masks only.
        {.label = QStringLiteral("PBM"),
         .extensions = {QStringLiteral("pbm")},
         .writerName = "pbm",
         .holdsMask = true,
         .holdsPicture = false,
         .sizeLimit = 0,
         .subType = {},
         .compression = -1,
         .write = writePbm},
    };
    return formats;
}

const OutputFormat *outputFormatFor(const QString &fileName) {
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    for (const OutputFormat &format : outputFormats()) {
        if (format.extensions.contains(suffix))
            return &format;
    }
    return nullptr;
}

QString outputExtensions(ImageContent content) {
    QStringList extensions;
    for (const OutputFormat &format : outputFormats()) {
        if (format.holds(content)) {
            for (const QString &extension : format.extensions)
                extensions << QLatin1Char('.') + extension;
        }
    }
    const QString last = extensions.isEmpty() ? QString() : extensions.takeLast();
    return extensions.isEmpty()
               ? last
               : extensions.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

QString contentDescription(ImageContent content) {
    return content == ImageContent::Mask ? QStringLiteral("the mask")
                                         : QStringLiteral("the painted picture");
}

QString outputFileName(const QString &input, ImageContent content) {
    const QFileInfo info(input);
    const OutputFormat &first = outputFormats().first();
    const OutputFormat *own = outputFormatFor(input);
    const bool keep = own && own != &first && own->holds(content);
    return info.completeBaseName() + QLatin1Char('.') +
           (keep ? info.suffix() : first.extensions.first());
}

bool writeImageFile(QImage &&image, const QString &path, QString *error, QByteArray *digest) {
    OutputSet set;
    return set.add(std::move(image), path, error, digest) && set.commit(error);
}

QByteArray imageFormatFor(const QString &fileName) {
    const OutputFormat *format = outputFormatFor(fileName);
    return format ? format->writerName : QByteArray();
}

QString imageSizeProblem(QSize size, const QString &path, const QString &instead) {
    const OutputFormat *format = outputFormatFor(path);
    if (!format || format->sizeLimit == 0)
        return {};
    QString advice = instead;
    for (const OutputFormat &other : outputFormats()) {
        if (advice.isEmpty() && other.sizeLimit == 0)
            advice = QStringLiteral("write ") + other.label;
    }
    if (size.width() > format->sizeLimit)
        return QStringLiteral("%1 cannot hold a picture %2 pixels wide: %3")
            .arg(format->label)
            .arg(size.width())
            .arg(advice);
    if (size.height() > format->sizeLimit)
        return QStringLiteral("%1 cannot hold a picture %2 pixels high: %3")
            .arg(format->label)
            .arg(size.height())
            .arg(advice);
    return {};
}

QString outputFileProblem(const QString &path) {
    return outputFileProblem(path, resolvedFileName(QFile::encodeName(path)));
}

QString outputFileProblem(const QString &path, const QByteArray &resolved) {
    struct stat st;
    if (stat(resolved.constData(), &st) != 0)
        return {};  // nothing there yet, or nothing that can be judged before the write
    const char *kind = S_ISDIR(st.st_mode)                          ? "a folder"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                       : S_ISFIFO(st.st_mode)                       ? "a named pipe"
                       : S_ISSOCK(st.st_mode)                       ? "a socket"
                       : S_ISREG(st.st_mode)                        ? nullptr
                                                                    : "not a file";
    if (kind) {
        const QString target = QFile::decodeName(resolved);
        const QString what = QLatin1String(kind);
        // Through a link, the file it leads to is named too.
        struct stat own;
        const bool link = lstat(QFile::encodeName(path).constData(), &own) != 0 ||
                          own.st_dev != st.st_dev || own.st_ino != st.st_ino;
        return link ? QStringLiteral(
                          "%1 leads to %2, %3, not a regular file: outputs only "
                          "replace regular files")
                          .arg(path, target, what)
                    : QStringLiteral(
                          "%1 is %2, not a regular file: outputs only replace "
                          "regular files")
                          .arg(path, what);
    }
    // The caller's class of the mode bits, as the system judges a user
    // other than root.
    mode_t bit = S_IWOTH;
    if (st.st_uid == geteuid()) {
        bit = S_IWUSR;
    } else if (st.st_gid == getegid()) {
        bit = S_IWGRP;
    } else {
        gid_t groups[NGROUPS_MAX];
        const int count = getgroups(NGROUPS_MAX, groups);
        if (std::find(groups, groups + std::max(count, 0), st.st_gid) !=
            groups + std::max(count, 0))
            bit = S_IWGRP;
    }
    if (!(st.st_mode & bit) ||
        (geteuid() != 0 && faccessat(AT_FDCWD, resolved.constData(), W_OK, AT_EACCESS) != 0 &&
         errno == EACCES))
        return QStringLiteral("%1 is write-protected").arg(path);
    return {};
}

QString worldFileProblem(const QString &world, const QString &input, const QString &inputWorld) {
    const QByteArray resolved = resolvedFileName(QFile::encodeName(world));
    struct stat target;
    const bool exists = stat(resolved.constData(), &target) == 0;
    for (const QString &kept : {input, inputWorld}) {
        if (kept.isEmpty())
            continue;
        const QByteArray other = resolvedFileName(QFile::encodeName(kept));
        struct stat st;
        if (other == resolved || (exists && stat(other.constData(), &st) == 0 &&
                                  st.st_dev == target.st_dev && st.st_ino == target.st_ino))
            return (kept == input
                        ? QStringLiteral("%1 would replace the input %2")
                        : QStringLiteral("%1 would replace the world file of the input %2"))
                       .arg(world, input) +
                   QStringLiteral(": outputs are never written over inputs");
    }
    return outputFileProblem(world, resolved);
}

QString outputFolderProblem(const QByteArray &resolved, bool madeWhenMissing) {
    QByteArray folder = resolved.left(resolved.lastIndexOf('/'));
    struct stat st;
    while (stat(folder.isEmpty() ? "/" : folder.constData(), &st) != 0) {
        const int missing = errno;
        if ((missing != ENOENT && missing != ENOTDIR) || folder.isEmpty())
            return {};
        if (!madeWhenMissing)
            return QStringLiteral("cannot write in %1: %2")
                .arg(QFile::decodeName(folder), qt_error_string(missing));
        folder.truncate(folder.lastIndexOf('/'));
    }
    if (folder.isEmpty())
        folder = "/";
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("cannot write in %1: %2")
            .arg(QFile::decodeName(folder), qt_error_string(ENOTDIR));
    if (access(folder.constData(), W_OK | X_OK) == 0)
        return {};
    return QStringLiteral("cannot write in %1: %2")
        .arg(QFile::decodeName(folder), qt_error_string(errno));
}

bool writeImageFile(const QImage &image, const QString &path, QString *error, QByteArray *digest) {
    OutputSet set;
    return set.add(image, path, error, digest) && set.commit(error);
}

// One output of a set: its temporary, synced, and the file it goes to.
struct OutputSet::Pending {
    explicit Pending(const QByteArray &target)
        : target(target), file(target.left(target.lastIndexOf('/'))) {}
    QByteArray target;  // links followed
    TemporaryFile file;
};

OutputSet::OutputSet() = default;
OutputSet::~OutputSet() = default;

bool OutputSet::add(QImage &&image, const QString &path, QString *error, QByteArray *digest,
                    const QList<GeoTiffTag> &geoTags) {
    t_consumable = &image;
    const bool written = add(std::as_const(image), path, error, digest, geoTags);
    t_consumable = nullptr;
    return written;
}

bool OutputSet::add(const QImage &image, const QString &path, QString *error, QByteArray *digest,
                    const QList<GeoTiffTag> &geoTags) {
    *error = imageSizeProblem(image.size(), path);
    if (!error->isEmpty())
        return false;
    // A 1-bit image is a mask; anything else a picture, which some formats
    // cannot hold.
    const OutputFormat *format = outputFormatFor(path);
    const ImageContent content =
        image.format() == QImage::Format_Mono ? ImageContent::Mask : ImageContent::Picture;
    if (format && !format->holds(content)) {
        *error = QStringLiteral("%1 cannot hold %2: write %3")
                     .arg(format->label, contentDescription(content), outputExtensions(content));
        return false;
    }
    return addFile(path, error, digest, [&](QIODevice *sink) {
        using TiffWrite = bool (*)(const QImage &, QIODevice *, QString *);
        if (format && format->write == TiffWrite(writeTiff) && !geoTags.isEmpty())
            return writeTiff(image, sink, error, geoTags);
        if (format && format->write)
            return format->write(image, sink, error);
        QImageWriter writer(sink, format ? format->writerName : QByteArray());
        if (format && !format->subType.isEmpty())
            writer.setSubType(format->subType);
        if (format && format->compression >= 0)
            writer.setCompression(format->compression);
        const bool written = writer.write(image);
        if (!written)
            *error = writer.errorString();
        return written;
    });
}

bool OutputSet::add(const QByteArray &bytes, const QString &path, QString *error,
                    QByteArray *digest) {
    return addFile(path, error, digest, [&](QIODevice *sink) {
        sink->write(bytes);
        return true;
    });
}

template <typename Write>
bool OutputSet::addFile(const QString &path, QString *error, QByteArray *digest, Write &&write) {
    const QByteArray target = resolvedFileName(QFile::encodeName(path));
    for (const auto &earlier : m_pending) {
        if (earlier->target == target) {
            *error = QStringLiteral("%1 is another output of the same input").arg(path);
            return false;
        }
    }
    struct stat existing;
    const bool exists = stat(target.constData(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode))
        return failed(error, EISDIR);
    auto pending = std::make_unique<Pending>(target);
    TemporaryFile &file = pending->file;
    if (file.fd() < 0)
        return failed(error, file.error());
    // A file replaced keeps its permissions; a new one has those the umask
    // leaves, as open() gave them.
    if (exists)
        fchmod(file.fd(), existing.st_mode & 07777);
    FileSink sink(file.fd());
    sink.open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    const bool written = write(&sink);
    if (sink.error() != 0)
        return failed(error, sink.error());
    if (!written)
        return false;
    if (digest && (*digest = sink.digest()).isEmpty())
        return failed(error, sink.error());
    if (!file.sync())
        return failed(error, file.error());
    m_pending.push_back(std::move(pending));
    m_paths << path;
    return true;
}

bool OutputSet::commit(QString *error, const std::atomic<bool> *interrupt) {
    // The signals that end the program wait until every file is renamed: the
    // handler, on another thread, waits for the renames to end.
    sigset_t held;
    sigset_t previous;
    sigemptyset(&held);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&held, signal);
    pthread_sigmask(SIG_BLOCK, &held, &previous);
    g_committing.fetch_add(1);
    bool renamed = !g_closed.load() && !(interrupt && interrupt->load());
    if (!renamed)
        *error = QStringLiteral("interrupted");
    for (size_t i = 0; renamed && i < m_pending.size(); ++i) {
        if (!m_pending[i]->file.rename(m_pending[i]->target)) {
            m_failed = m_paths.at(qsizetype(i));
            failed(error, m_pending[i]->file.error());
            renamed = false;
        }
    }
    g_committing.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!renamed)
        return false;
    // The renames themselves are on disk once their folders are synced.
    QList<QByteArray> folders;
    for (const auto &pending : m_pending) {
        const QByteArray folder = pending->target.left(pending->target.lastIndexOf('/'));
        if (folders.contains(folder))
            continue;
        folders << folder;
        const int fd =
            open(folder.isEmpty() ? "/" : folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
    }
    m_pending.clear();
    return true;
}

namespace {

// The byte with its bits in the opposite order.
constexpr std::array<uchar, 256> kReversed = [] {
    std::array<uchar, 256> table{};
    for (int b = 0; b < 256; ++b) {
        int r = 0;
        for (int i = 0; i < 8; ++i)
            r |= ((b >> i) & 1) << (7 - i);
        table[size_t(b)] = uchar(r);
    }
    return table;
}();

// The mask as a 1-bit picture, from `word(x, k)`: the 64 cells of column x
// from row 64 * k down, the first in the lowest bit.
template <typename ColumnWord>
QImage maskImageOf(const QImage &picture, ColumnWord word) {
    constexpr int kBits = PackedMask::kBits;
    const int width = picture.width();
    const int height = picture.height();
    // Built in the format the writers take as it is: converting would leave
    // the bits past a line's last pixel undefined, and the files different.
    QImage image(width, height, QImage::Format_Mono);
    if (image.isNull())
        return image;
    // The resolution of a new image would otherwise depend on the screen.
    image.setDotsPerMeterX(picture.dotsPerMeterX());
    image.setDotsPerMeterY(picture.dotsPerMeterY());
    image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    // Every byte, the padding at the end of each line included, which fill()
    // leaves as it was: the same mask then always gives the same bytes.
    std::memset(image.bits(), 0, size_t(image.sizeInBytes()));
    // 64 x 64 cells at a time: column words turned into row words, each row
    // word being 64 pixels of a line, the first in the lowest bit; a line's
    // bytes hold their first pixel in the highest bit.
    quint64 tile[kBits];
    for (int k = 0; k * kBits < height; ++k) {
        const int rows = std::min(kBits, height - k * kBits);
        for (int x0 = 0; x0 < width; x0 += kBits) {
            const int columns = std::min(kBits, width - x0);
            for (int i = 0; i < kBits; ++i)
                tile[i] = i < columns ? word(x0 + i, k) : 0;
            transposeBits(tile);
            const size_t bytes = size_t(columns + 7) / 8;
            for (int j = 0; j < rows; ++j) {
                const quint64 row =
                    tile[j] & (columns == kBits ? ~quint64(0) : (quint64(1) << columns) - 1);
                uchar *line = image.scanLine(k * kBits + j) + x0 / 8;
                for (size_t b = 0; b < bytes; ++b)
                    line[b] = kReversed[(row >> (8 * b)) & 0xFF];
            }
        }
    }
    return image;
}

// A mask that does not cover the picture raises error 9, as reading past
// its bounds would.
void checkCovers(const PackedMask &mask, const QImage &picture) {
    if (!picture.isNull() && !mask.contains(picture.width() - 1, picture.height() - 1))
        throw RuntimeError::subscriptOutOfRange();
}

}  // namespace

QImage maskImage(const PackedMask &mask, const QImage &picture) {
    checkCovers(mask, picture);
    return maskImageOf(picture, [&mask](int x, int k) { return mask.column(x)[k]; });
}

}  // namespace ink
