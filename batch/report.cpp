#include "batch/report.h"

#include "core/files/contentdigest.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ink {

namespace {

QString statusName(FileResult::Status status) {
    switch (status) {
        case FileResult::Status::Done:
            return QStringLiteral("done");
        case FileResult::Status::Failed:
            return QStringLiteral("failed");
        case FileResult::Status::Interrupted:
            break;
    }
    return QStringLiteral("interrupted");
}

QString kindName(FileResult::Output::Kind kind) {
    switch (kind) {
        case FileResult::Output::Kind::Mask:
            return QStringLiteral("mask");
        case FileResult::Output::Kind::Picture:
            return QStringLiteral("picture");
        case FileResult::Output::Kind::World:
            return QStringLiteral("world");
        case FileResult::Output::Kind::Changes:
            break;
    }
    return QStringLiteral("changes");
}

// Writes all of `bytes`, going on after a signal or a short write.
bool writeAll(int fd, const char *bytes, qsizetype size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= n;
    }
    return true;
}

}  // namespace

QByteArray reportLine(const FileResult &result, const BatchOptions &options) {
    QJsonArray outputs;
    for (const FileResult::Output &output : result.outputs)
        outputs.append(QJsonObject{{QStringLiteral("file"), output.file},
                                   {QStringLiteral("kind"), kindName(output.kind)},
                                   {QStringLiteral("bytes"), output.bytes},
                                   {QStringLiteral("xxh3"), QString::fromLatin1(output.digest)}});
    QJsonObject line{
        {QStringLiteral("input"), result.input},
        {QStringLiteral("outputs"), outputs},
        {QStringLiteral("steps"), QJsonArray::fromStringList(options.stepNames())},
        {QStringLiteral("thresholds"),
         QJsonArray{result.thresholds.red, result.thresholds.green, result.thresholds.blue}},
        {QStringLiteral("autoThresholds"), options.autoThresholds},
        {QStringLiteral("local"), options.local},
        {QStringLiteral("started"), result.started},
        {QStringLiteral("milliseconds"), result.milliseconds},
        {QStringLiteral("status"), statusName(result.status)},
        {QStringLiteral("error"), result.errors.join(QStringLiteral("; "))},
        {QStringLiteral("warnings"), QJsonArray::fromStringList(result.warnings)},
    };
    if (!result.changes.isEmpty()) {
        QJsonArray changes;
        for (const FileResult::StepChanges &step : result.changes)
            changes.append(QJsonObject{{QStringLiteral("filled"), step.filled},
                                       {QStringLiteral("erased"), step.erased}});
        line.insert(QStringLiteral("changes"), changes);
    }
    return QJsonDocument(line).toJson(QJsonDocument::Compact);
}

ReportWriter::~ReportWriter() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ReportWriter::open(const QString &path, QString *error) {
    m_fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                  0666);
    if (m_fd < 0) {
        *error = qt_error_string(errno);
        return false;
    }
    // A line cut short by a crash gets its end, so the next line stands alone.
    struct stat st;
    char last = '\n';
    if (fstat(m_fd, &st) == 0 && st.st_size > 0) {
        const int reader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (reader >= 0) {
            if (pread(reader, &last, 1, st.st_size - 1) != 1)
                last = '\n';
            ::close(reader);
        }
    }
    if (last != '\n' && !writeAll(m_fd, "\n", 1)) {
        *error = qt_error_string(errno);
        return false;
    }
    return true;
}

bool ReportWriter::append(const QByteArray &line, QString *error) {
    const QByteArray whole = line + '\n';
    std::lock_guard lock(m_mutex);
    if (writeAll(m_fd, whole.constData(), whole.size()))
        return true;
    *error = qt_error_string(errno);
    return false;
}

DoneInputs::DoneInputs(const BatchOptions &options)
    : m_steps(options.stepNames()),
      m_autoThresholds(options.autoThresholds),
      m_local(options.local),
      m_thresholds(options.thresholds) {}

bool DoneInputs::read(const QStringList &reports, QString *error) {
    // Far longer than any line of ours: an input and three outputs of
    // PATH_MAX bytes each, escaped, and their errors.
    constexpr qsizetype kLongestLine = qsizetype(1) << 20;
    const QJsonArray thresholds{m_thresholds.red, m_thresholds.green, m_thresholds.blue};
    for (const QString &report : reports) {
        QFile file(report);
        if (!file.open(QIODevice::ReadOnly)) {
            *error =
                QStringLiteral("cannot read the report %1: %2").arg(report, file.errorString());
            return false;
        }
        LineReader lines(&file, kLongestLine);
        QByteArray line;
        while (lines.next(&line)) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (object.value(QStringLiteral("status")).toString() != QLatin1String("done"))
                continue;
            QStringList steps;
            for (const QJsonValue step : object.value(QStringLiteral("steps")).toArray())
                steps << step.toString();
            const bool automatic = object.value(QStringLiteral("autoThresholds")).toBool();
            if (steps != m_steps || automatic != m_autoThresholds ||
                object.value(QStringLiteral("local")).toBool() != m_local ||
                (!automatic && object.value(QStringLiteral("thresholds")).toArray() != thresholds))
                continue;
            QList<FileResult::Output> outputs;
            for (const QJsonValue output : object.value(QStringLiteral("outputs")).toArray()) {
                const QString kind = output[QStringLiteral("kind")].toString();
                FileResult::Output recorded{output[QStringLiteral("file")].toString(),
                                            FileResult::Output::Kind::Mask,
                                            qint64(output[QStringLiteral("bytes")].toDouble(-1)),
                                            output[QStringLiteral("xxh3")].toString().toLatin1()};
                for (const auto k :
                     {FileResult::Output::Kind::Picture, FileResult::Output::Kind::Changes,
                      FileResult::Output::Kind::World}) {
                    if (kind == kindName(k))
                        recorded.kind = k;
                }
                // Lines of older versions, with no digest, or no kind, never
                // count as done.
                if (recorded.digest.isEmpty() || kindName(recorded.kind) != kind) {
                    outputs.clear();
                    break;
                }
                outputs.append(recorded);
            }
            if (!outputs.isEmpty())
                m_records.emplace_back(object.value(QStringLiteral("input")).toString(),
                                       std::move(outputs));
        }
        if (!lines.error().isEmpty()) {
            *error = QStringLiteral("cannot read the report %1: %2").arg(report, lines.error());
            return false;
        }
    }
    std::stable_sort(m_records.begin(), m_records.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    return true;
}

bool DoneInputs::isDone(const QString &input, const QList<FileResult::Output> &outputs) const {
    auto it = std::lower_bound(m_records.cbegin(), m_records.cend(), input,
                               [](const auto &r, const QString &name) { return r.first < name; });
    for (; it != m_records.cend() && it->first == input; ++it) {
        const QList<FileResult::Output> &record = it->second;
        const auto isWorld = [](const FileResult::Output &o) {
            return o.kind == FileResult::Output::Kind::World;
        };
        if (record.size() - std::count_if(record.cbegin(), record.cend(), isWorld) !=
            outputs.size())
            continue;
        // Each output asked for once in the line, of the same kind: with as
        // many of each, no file of the line is left out or named twice.
        bool intact = true;
        for (const FileResult::Output &wanted : outputs) {
            const auto same = [&wanted](const FileResult::Output &o) {
                return o.file == wanted.file;
            };
            const auto found = std::find_if(record.cbegin(), record.cend(), same);
            intact = found != record.cend() && found->kind == wanted.kind &&
                     std::count_if(record.cbegin(), record.cend(), same) == 1 &&
                     QFileInfo(found->file).size() == found->bytes;
            QString error;
            intact = intact && fileDigest(found->file, &error) == found->digest;
            if (!intact)
                break;
        }
        // The world files written beside them, as they were written.
        for (const FileResult::Output &world : record) {
            if (!intact)
                break;
            QString error;
            intact = !isWorld(world) || (QFileInfo(world.file).size() == world.bytes &&
                                         fileDigest(world.file, &error) == world.digest);
        }
        if (intact)
            return true;
    }
    return false;
}

bool LineReader::next(QByteArray *line) {
    constexpr qsizetype kBlock = 64 * 1024;
    for (;;) {
        const qsizetype end = m_buffer.indexOf('\n', m_start);
        if (end >= 0 || (m_end && m_start < m_buffer.size())) {
            const qsizetype size = (end >= 0 ? end : m_buffer.size()) - m_start;
            ++m_number;
            if (size > m_limit)
                break;
            *line = m_buffer.mid(m_start, size);
            m_start += size + 1;
            return true;
        }
        if (m_end)
            return false;
        if (m_buffer.size() - m_start > m_limit) {
            ++m_number;
            break;
        }
        m_buffer.remove(0, m_start);
        m_start = 0;
        const qsizetype kept = m_buffer.size();
        m_buffer.resize(kept + kBlock);
        const qint64 n = m_device->read(m_buffer.data() + kept, kBlock);
        m_buffer.resize(kept + qMax(qint64(0), n));
        if (n < 0) {
            m_error = m_device->errorString();
            return false;
        }
        m_end = n == 0;
    }
    m_error = QStringLiteral("line %1 is longer than %2 bytes").arg(m_number).arg(m_limit);
    return false;
}

}  // namespace ink
