// Times the checks inkmask-batch makes before reading any file, on a
// --files-from list of many inputs that exist (each output compared with
// every input and every other output, as files): they must grow with the
// list, not with its square; and the memory the run then holds at most,
// which must stay under 300 MB for 1,000,000 inputs. Prints figures; it
// checks nothing.
//
//   build/bench/bench_filelist [COUNT]     (default 100000, and a tenth of it)

#include "batch/options.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>

#include <sys/resource.h>

using namespace ink;

namespace {

double cpuMilliseconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// The most memory the process has held so far, in MB.
double peakMegabytes() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024;
}

struct Timing {
    double wall = -1;  // milliseconds, shared machines included
    double cpu = -1;   // milliseconds of this process's time
    double peak = -1;  // MB, the most the process held by the end
};

// The time to parse a command line over `count` listed scans.
Timing timeParsing(const QTemporaryDir &dir, int count) {
    const QString scans = dir.filePath(QStringLiteral("scans%1").arg(count));
    QDir().mkpath(scans);
    QFile list(dir.filePath(QStringLiteral("list%1.txt").arg(count)));
    if (!list.open(QIODevice::WriteOnly))
        return {};
    for (int i = 0; i < count; ++i) {
        const QString name =
            QStringLiteral("%1/sheet-%2.png").arg(scans).arg(i, 6, 10, QLatin1Char('0'));
        QFile(name).open(QIODevice::WriteOnly);
        list.write(QFile::encodeName(name) + '\n');
    }
    list.close();
    const QStringList arguments{QStringLiteral("inkmask-batch"),
                                QStringLiteral("--files-from"),
                                list.fileName(),
                                QStringLiteral("--output-dir"),
                                dir.filePath(QStringLiteral("out")),
                                QStringLiteral("--mask-dir"),
                                dir.filePath(QStringLiteral("masks")),
                                QStringLiteral("--report"),
                                dir.filePath(QStringLiteral("report.jsonl"))};
    QElapsedTimer clock;
    clock.start();
    const double cpu = cpuMilliseconds();
    const ParsedArguments parsed = parseBatchArguments(arguments, 2);
    const Timing timing{double(clock.nsecsElapsed()) / 1e6, cpuMilliseconds() - cpu,
                        peakMegabytes()};
    if (parsed.action != ParsedArguments::Run || parsed.options.inputs.size() != count)
        std::printf("unexpected: %s\n", qPrintable(parsed.error));
    return timing;
}

}  // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 100000;
    QTemporaryDir dir;
    std::printf("option parsing and output checks over a --files-from list\n");
    for (const int n : {count / 10, count}) {
        const Timing t = timeParsing(dir, n);
        std::printf(
            "%7d inputs: %8.1f ms (%.1f us an input), %8.1f ms of processor time, "
            "%.0f MB at most\n",
            n, t.wall, 1000 * t.wall / n, t.cpu, t.peak);
    }
    return 0;
}
