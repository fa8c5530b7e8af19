#pragma once

#include "batch/batchrunner.h"

#include <QByteArray>
#include <QHash>
#include <QIODevice>
#include <QString>
#include <QStringList>

#include <mutex>
#include <utility>
#include <vector>

namespace ink {

// The report of --report: one JSON object per input on a line of its own,
// keys "input", "outputs" ([{"file", "kind", "bytes", "xxh3"}], kind being
// "mask", "picture" or "changes" and xxh3 the file's contentDigest()),
// "steps", "thresholds" (those NB used), "autoThresholds" (true when they
// were each file's own), "changes" ([{"filled", "erased"}] per step, when
// counted), "started", "milliseconds", "status" ("done", "failed" or
// "interrupted") and "error". Names that are not valid UTF-8 are written
// with U+FFFD for each bad byte; such inputs always fail, so they are never
// taken for done.
QByteArray reportLine(const FileResult &result, const BatchOptions &options);

// Appends lines to a report, one whole line per write, from any thread. The
// file is never truncated: a rerun adds its lines after those of the runs
// before, and a last line cut short by a crash is closed first so that it
// spoils no other.
class ReportWriter {
public:
    ReportWriter() = default;
    ReportWriter(const ReportWriter &) = delete;
    ReportWriter &operator=(const ReportWriter &) = delete;
    ~ReportWriter();

    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_fd >= 0; }
    bool append(const QByteArray &line, QString *error);

private:
    int m_fd = -1;
    std::mutex m_mutex;
};

// The inputs that reports say were done, for --skip-done: only the lines of
// runs whose results this run's options would make again count, those with
// the same steps and thresholds (or both with each file's own).
class DoneInputs {
public:
    explicit DoneInputs(const BatchOptions &options);

    // Reads the reports; lines that are not a report's JSON object (a last
    // line cut short, bytes a crash left) are passed over. False, with the
    // reason, when a report cannot be read or holds a line too long for one.
    bool read(const QStringList &reports, QString *error);

    // Whether a line says `input` was done writing exactly `outputs`, each
    // file with its kind, and each of those files still holds the bytes
    // recorded: its digest is checked, so every file is read.
    bool isDone(const QString &input, const QList<FileResult::Output> &outputs) const;

private:
    QStringList m_steps;
    bool m_autoThresholds;
    bool m_local;
    Thresholds m_thresholds;
    // By input, sorted once read: a vector, whose growth fails with an
    // exception to report when memory runs out.
    std::vector<std::pair<QString, QList<FileResult::Output>>> m_records;
};

// Reads a list or a report a line at a time, holding at most one line of
// `limit` bytes and a block: a file with no line end (/dev/zero) is refused,
// not read into memory whole.
class LineReader {
public:
    LineReader(QIODevice *device, qsizetype limit) : m_device(device), m_limit(limit) {}

    // The next line, without its end; false at the end of the file, or when
    // a line is longer than the limit or the file cannot be read, which
    // error() then says.
    bool next(QByteArray *line);
    qint64 lineNumber() const { return m_number; }  // of the last line read, from 1
    QString error() const { return m_error; }

private:
    QIODevice *m_device;
    qsizetype m_limit;
    QByteArray m_buffer;
    qsizetype m_start = 0;  // of the next line in m_buffer
    bool m_end = false;
    qint64 m_number = 0;
    QString m_error;
};

}  // namespace ink
