#pragma once

#include "batch/batchrunner.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <mutex>

namespace ink {

// The report of --report: one JSON object per input on a line of its own,
// keys "input", "outputs" ([{"file", "bytes"}]), "steps", "thresholds",
// "changes" ([{"filled", "erased"}] per step, when counted), "started",
// "milliseconds", "status" ("done", "failed" or "interrupted") and "error".
// Names that are not valid UTF-8 are written with U+FFFD for each bad byte;
// such inputs always fail, so they are never taken for done.
QByteArray reportLine(const FileResult &result, const QStringList &steps);

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

// The inputs that reports say were done, for --skip-done.
class DoneInputs {
public:
    // Reads the reports; lines that are not a report's JSON object (a last
    // line cut short) are passed over. False, with the reason, when a
    // report cannot be read.
    bool read(const QStringList &reports, QString *error);

    // Whether a line says `input` was done with these steps, writing exactly
    // `outputs`, and each of those files still has the size recorded.
    bool isDone(const QString &input, const QStringList &steps, const QStringList &outputs) const;

private:
    struct Record {
        QStringList steps;
        QList<FileResult::Output> outputs;
    };
    QMultiHash<QString, Record> m_records;
};

}  // namespace ink
