// inkmask-batch: the passes of the inkmask window, run headless on many files.

#include "batch/batchrunner.h"
#include "batch/options.h"
#include "batch/report.h"
#include "core/files/imagefiles.h"
#include "core/runtime/commandline.h"
#include "core/runtime/stdstreams.h"
#include "core/session/history.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace ink;

namespace {

std::atomic<bool> interrupted{false};
std::atomic<int> interruptSignal{SIGINT};
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

// The first Ctrl-C stops the passes at their next column; a second one, for
// when that does not come soon (a large picture being decoded), ends the
// program at once, its temporary files removed. SIGTERM, what schedulers
// send to a cancelled task, does the same, so the report says which files
// were interrupted.
extern "C" void onInterrupt(int signal) {
    if (interrupted.exchange(true)) {
        removeTemporaryFiles();
        _exit(128 + signal);
    }
    interruptSignal.store(signal);
}

// False when the text could not be written whole.
bool print(FILE *stream, const QString &text) {
    const QByteArray bytes = text.toLocal8Bit();
    const size_t written = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    return std::fflush(stream) == 0 && written == size_t(bytes.size());
}

// A message of the program: the names it holds may carry control
// characters, written escaped.
bool printMessage(const QString &text) {
    return print(stderr, QStringLiteral("inkmask-batch: ") + escapeControls(text) + u'\n');
}

// --help and --version: status 1 when standard output did not take the text
// (a full disk, a closed pipe), said on standard error.
int printResult(const QString &text) {
    errno = 0;
    if (print(stdout, text) && !std::ferror(stdout) && std::fclose(stdout) == 0)
        return 0;
    printMessage(QStringLiteral("cannot write to standard output: %1").arg(qt_error_string(errno)));
    return 1;
}

// The arguments whose bytes are not valid UTF-8, as Qt decoded them; opened by
// that name, they would reach another file or none.
QSet<QString> notUtf8Arguments(int argc, char *argv[]) {
    QSet<QString> names;
    for (int i = 1; i < argc; ++i) {
        const QByteArrayView bytes(argv[i]);
        if (!bytes.isValidUtf8())
            names.insert(QString::fromLocal8Bit(bytes));
    }
    return names;
}

// The files of one run, shared by the worker threads.
class Batch {
public:
    // `cores`: the most threads one file's passes take.
    Batch(const BatchOptions &options, ReportWriter *report, int cores)
        : m_options(options),
          m_report(report),
          m_cores(qMax(1, cores)),
          m_progress(size_t(options.jobs)),
          m_totals(size_t(options.steps.size())) {}

    // A worker takes files until none is left; its thread then goes to the
    // passes of the files still running.
    void worker(int slot) {
        BatchRunner runner(m_options, interrupted, &m_spare, m_cores);
        for (;;) {
            if (interrupted.load())
                return;
            const int index = m_next.fetch_add(1);
            if (index >= m_options.inputs.size()) {
                m_spare.add(1);
                return;
            }
            FileProgress &progress = m_progress[size_t(slot)];
            progress.step.store(-1);
            m_current[size_t(slot)].store(index);
            FileResult result = runner.run(index, progress);
            m_current[size_t(slot)].store(-1);
            // The report's line is written as the file ends, whole, by one
            // write: lines from several workers never mix.
            QString reportError;
            const bool reported =
                !m_report || m_report->append(reportLine(result, m_options), &reportError);
            std::lock_guard lock(m_mutex);
            switch (result.status) {
                case FileResult::Status::Done:
                    ++m_done;
                    break;
                case FileResult::Status::Failed:
                    ++m_failedCount;
                    break;
                case FileResult::Status::Interrupted:
                    ++m_interrupted;
                    break;
            }
            for (const QString &warning : result.warnings)
                m_errors << QStringLiteral("%1: warning: %2").arg(result.input, warning);
            // The thresholds each file was given, shown with the errors.
            if (m_options.autoThresholds && !m_options.quiet &&
                result.status != FileResult::Status::Failed)
                m_errors << QStringLiteral("%1: thresholds %2,%3,%4")
                                .arg(result.input)
                                .arg(result.thresholds.red)
                                .arg(result.thresholds.green)
                                .arg(result.thresholds.blue);
            for (qsizetype i = 0; i < result.changes.size() && size_t(i) < m_totals.size(); ++i) {
                m_totals[size_t(i)].filled += result.changes[i].filled;
                m_totals[size_t(i)].erased += result.changes[i].erased;
            }
            for (const QString &e : std::as_const(result.errors))
                m_errors << e;
            if (!reported && !m_reportFailed) {
                m_reportFailed = true;
                m_errors
                    << QStringLiteral("%1: cannot write: %2").arg(m_options.report, reportError);
            }
            m_changed.notify_all();
        }
    }

    // Runs the files on `jobs` threads, one file each, and the threads
    // beyond the files on the passes of those files; the calling thread shows
    // the progress line (when `showProgress`) and the errors as they come.
    void run(bool showProgress) {
        const int threads = qMin(m_options.jobs, int(m_options.inputs.size()));
        m_spare.add(m_options.jobs - threads);
        m_current = std::vector<std::atomic<int>>(size_t(threads));
        for (auto &c : m_current)
            c.store(-1);
        std::vector<std::thread> workers;
        std::atomic<int> finished{0};
        for (int i = 0; i < threads; ++i) {
            workers.emplace_back([this, i, &finished] {
                worker(i);
                finished.fetch_add(1);
                std::lock_guard lock(m_mutex);
                m_changed.notify_all();
            });
        }
        QString shown;
        for (;;) {
            QStringList errors;
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait_for(lock, std::chrono::milliseconds(100));
                errors.swap(m_errors);
            }
            const bool done = finished.load() == threads;
            if (!errors.isEmpty() || done) {
                if (!shown.isEmpty())
                    print(stderr, QStringLiteral("\r\x1b[K"));
                shown.clear();
                for (const QString &e : errors)
                    printMessage(e);
            }
            if (done)
                break;
            if (showProgress) {
                const QString line = progressLine();
                if (line != shown) {
                    print(stderr, QStringLiteral("\r\x1b[K") + escapeControls(line));
                    shown = line;
                }
            }
        }
        for (auto &w : workers)
            w.join();
    }

    bool failed() const { return m_failedCount > 0 || m_reportFailed; }

    // "40 files: 38 done, 2 failed in 12.3 s, 3.09 files/s": every input
    // given, what became of this run's, and its pace over the files ended.
    QString summary(double seconds) const {
        const qint64 ended = m_done + m_failedCount;
        QString line = QStringLiteral("%1 files: %2 done, %3 failed")
                           .arg(m_options.listed)
                           .arg(m_done)
                           .arg(m_failedCount);
        if (m_interrupted > 0 || interrupted.load())
            line += QStringLiteral(", %1 interrupted, %2 not started")
                        .arg(m_interrupted)
                        .arg(m_options.inputs.size() - ended - m_interrupted);
        if (m_options.skipped > 0)
            line += QStringLiteral(", %1 skipped as done before").arg(m_options.skipped);
        if (m_options.shardCount > 1)
            line += QStringLiteral(", %1 in other shards")
                        .arg(m_options.listed - m_options.skipped - m_options.inputs.size());
        line += QStringLiteral(" in %1 s, %2 files/s")
                    .arg(seconds, 0, 'f', 1)
                    .arg(seconds > 0 ? double(ended) / seconds : 0.0, 0, 'f', 2);
        return line;
    }

    // "nb: 1,234 filled, 0 erased; affine: ..." over every file's steps done.
    QString stepTotals() const {
        QStringList parts;
        for (size_t i = 0; i < m_totals.size(); ++i)
            parts << QStringLiteral("%1: %2").arg(
                m_options.steps.at(qsizetype(i))->name,
                changeCountsText(m_totals[i].filled, m_totals[i].erased));
        return parts.join(QStringLiteral("; "));
    }

private:
    // "[3/20] plan.png: affine 45%" for each file being worked on; "reading"
    // and "writing" before and after the steps.
    QString progressLine() const {
        QStringList parts;
        const int n = int(m_options.inputs.size());
        for (size_t slot = 0; slot < m_current.size(); ++slot) {
            const int index = m_current[slot].load();
            if (index < 0)
                continue;
            const int step = m_progress[slot].step.load();
            QString part = QStringLiteral("[%1/%2] %3")
                               .arg(index + 1)
                               .arg(n)
                               .arg(m_options.inputs.at(index).section(QLatin1Char('/'), -1));
            if (const int t = m_progress[slot].autoThresholds.load(); t >= 0)
                part += QStringLiteral(" (%1,%2,%3)").arg(t >> 16).arg(t >> 8 & 0xFF).arg(t & 0xFF);
            if (const int black = m_progress[slot].mostlyBlack.load(); black >= 0)
                part += QStringLiteral(" (%1 % black!)").arg(black);
            if (step < 0)
                part += QStringLiteral(": reading");
            else if (step < m_options.steps.size())
                part += QStringLiteral(": %1 %2%")
                            .arg(m_options.steps.at(step)->name)
                            .arg(m_progress[slot].percent.load());
            else
                part += QStringLiteral(": writing");
            // What the step before did to the mask.
            if (step > 0)
                part += QStringLiteral(" (%1: %2)")
                            .arg(m_options.steps.at(step - 1)->name,
                                 changeCountsText(m_progress[slot].filled.load(),
                                                  m_progress[slot].erased.load()));
            parts << part;
        }
        return parts.join(QStringLiteral("  "));
    }

    const BatchOptions &m_options;
    ReportWriter *m_report;
    const int m_cores;
    SpareThreads m_spare;
    std::vector<FileProgress> m_progress;
    std::vector<std::atomic<int>> m_current;  // per worker: the input it works on
    std::atomic<int> m_next{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    QStringList m_errors;
    qint64 m_done = 0;
    qint64 m_failedCount = 0;
    qint64 m_interrupted = 0;
    bool m_reportFailed = false;
    std::vector<FileResult::StepChanges> m_totals;  // per step, over the files
};

// The image readers' own warnings would come before and in between our
// messages, which already give each failure's reason; what is worse is
// said as the program's own message.
void dropLibraryMessages(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (type == QtCriticalMsg || type == QtFatalMsg)
        printMessage(message);
}

}  // namespace

int main(int argc, char *argv[]) {
    reopenClosedStandardStreams();
    // Image plugins (TIFF) are found through the application object; no
    // window system is needed.
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropLibraryMessages);

    // Lists and reports that run out of memory say so themselves; this is
    // for the checks over all the inputs that follow.
    ParsedArguments parsed;
    try {
        parsed = parseBatchArguments(QCoreApplication::arguments(), QThread::idealThreadCount(),
                                     notUtf8Arguments(argc, argv));
    } catch (const std::bad_alloc &) {
        print(stderr, QStringLiteral("inkmask-batch: out of memory checking the inputs and "
                                     "their outputs\n"));
        return 2;
    }
    switch (parsed.action) {
        case ParsedArguments::Help:
            return printResult(batchUsage());
        case ParsedArguments::Version:
            return printResult(QStringLiteral("inkmask-batch " INKMASK_VERSION "\n"));
        case ParsedArguments::Usage:
            printMessage(parsed.error);
            print(stderr, u'\n' + batchUsage());
            return 2;
        case ParsedArguments::Run:
            break;
    }

    // Each worker holds a file's outputs at once: the mask, the picture of
    // changes and the painted picture.
    reserveTemporaryFiles(parsed.options.jobs * 3);
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    // Output folders are made when missing; one that cannot be made shows
    // as each file's write failure.
    for (const QString &dir :
         {parsed.options.outputDir, parsed.options.maskDir, parsed.options.changesDir}) {
        if (!dir.isEmpty())
            QDir().mkpath(dir);
    }
    // What runs killed before left behind.
    for (const QByteArray &folder : parsed.options.outputFolders)
        removeStaleTemporaries(folder);

    ReportWriter report;
    QString error;
    if (!parsed.options.report.isEmpty() && !report.open(parsed.options.report, &error)) {
        printMessage(QStringLiteral("%1: cannot write: %2").arg(parsed.options.report, error));
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    Batch batch(parsed.options, report.isOpen() ? &report : nullptr, QThread::idealThreadCount());
    batch.run(!parsed.options.quiet && isatty(STDERR_FILENO));
    if (!parsed.options.quiet && !parsed.options.steps.isEmpty())
        print(
            stderr,
            QStringLiteral("inkmask-batch: cells changed per step: %1\n").arg(batch.stepTotals()));
    if (!parsed.options.quiet)
        print(stderr, QStringLiteral("inkmask-batch: %1\n")
                          .arg(batch.summary(double(clock.elapsed()) / 1000)));
    if (interrupted.load())
        return 128 + interruptSignal.load();
    return batch.failed() ? 1 : 0;
}
