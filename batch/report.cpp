#include "batch/report.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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

QByteArray reportLine(const FileResult &result, const QStringList &steps) {
    QJsonArray outputs;
    for (const FileResult::Output &output : result.outputs)
        outputs.append(QJsonObject{{QStringLiteral("file"), output.file},
                                   {QStringLiteral("bytes"), output.bytes}});
    QJsonObject line{
        {QStringLiteral("input"), result.input},
        {QStringLiteral("outputs"), outputs},
        {QStringLiteral("steps"), QJsonArray::fromStringList(steps)},
        {QStringLiteral("thresholds"),
         QJsonArray{result.thresholds.red, result.thresholds.green, result.thresholds.blue}},
        {QStringLiteral("started"), result.started},
        {QStringLiteral("milliseconds"), result.milliseconds},
        {QStringLiteral("status"), statusName(result.status)},
        {QStringLiteral("error"), result.errors.join(QStringLiteral("; "))},
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

bool DoneInputs::read(const QStringList &reports, QString *error) {
    for (const QString &report : reports) {
        QFile file(report);
        if (!file.open(QIODevice::ReadOnly)) {
            *error =
                QStringLiteral("cannot read the report %1: %2").arg(report, file.errorString());
            return false;
        }
        const QByteArray text = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            *error =
                QStringLiteral("cannot read the report %1: %2").arg(report, file.errorString());
            return false;
        }
        for (const QByteArray &line : text.split('\n')) {
            const QJsonObject object = QJsonDocument::fromJson(line).object();
            if (object.value(QStringLiteral("status")).toString() != QLatin1String("done"))
                continue;
            Record record;
            for (const QJsonValue step : object.value(QStringLiteral("steps")).toArray())
                record.steps << step.toString();
            for (const QJsonValue output : object.value(QStringLiteral("outputs")).toArray())
                record.outputs.append({output[QStringLiteral("file")].toString(),
                                       qint64(output[QStringLiteral("bytes")].toDouble(-1))});
            m_records.insert(object.value(QStringLiteral("input")).toString(), record);
        }
    }
    return true;
}

bool DoneInputs::isDone(const QString &input, const QStringList &steps,
                        const QStringList &outputs) const {
    for (auto it = m_records.constFind(input); it != m_records.cend() && it.key() == input; ++it) {
        const Record &record = it.value();
        if (record.steps != steps || record.outputs.size() != outputs.size())
            continue;
        bool intact = true;
        for (const FileResult::Output &output : record.outputs) {
            const QFileInfo info(output.file);
            intact = intact && outputs.contains(output.file) && info.isFile() &&
                     info.size() == output.bytes;
        }
        if (intact)
            return true;
    }
    return false;
}

}  // namespace ink
