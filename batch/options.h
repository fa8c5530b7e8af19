#pragma once

#include "core/ops/passes.h"
#include "core/ops/threshold.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

namespace ink {

// Input names, kept as the file system's bytes in one block: a million
// listed scans take their names' bytes and 8 bytes each, not a QString each.
class InputNames {
public:
    InputNames() = default;
    InputNames(const QStringList &names) {
        for (const QString &name : names)
            append(name);
    }

    qsizetype size() const { return m_ends.size(); }
    bool isEmpty() const { return m_ends.isEmpty(); }
    // Name i, as QFile::decodeName() gives it.
    QString at(qsizetype i) const { return QString::fromLocal8Bit(bytes(i)); }
    QString operator[](qsizetype i) const { return at(i); }
    QByteArrayView bytes(qsizetype i) const {
        const qsizetype begin = i == 0 ? 0 : m_ends[i - 1];
        return QByteArrayView(m_bytes).sliced(begin, m_ends[i] - begin);
    }

    void append(const QString &name) { appendBytes(QFile::encodeName(name)); }
    void appendBytes(QByteArrayView name) {
        m_bytes.append(name);
        m_ends.append(m_bytes.size());
    }
    void squeeze() {
        m_bytes.squeeze();
        m_ends.squeeze();
    }

    QStringList toStringList() const {
        QStringList names;
        for (qsizetype i = 0; i < size(); ++i)
            names << at(i);
        return names;
    }

private:
    QByteArray m_bytes;
    QList<qsizetype> m_ends;  // of each name in m_bytes
};

// What one run of inkmask-batch is asked to do.
struct BatchOptions {
    QList<const PassEntry *> steps = defaultSteps();  // entries of passRegistry()
    Thresholds thresholds{180, 180, 180};
    qint32 speckSize = kDefaultSpeckSize;  // --speck: taches' largest blob and hole
    bool autoThresholds = false;  // --thresholds auto: each file's own, by automaticThresholds()
    bool local = false;           // --local: NB compares against the paper around each pixel
    QString output;               // -o: the picture of the one input
    QString outputDir;            // --output-dir: pictures named after their inputs
    QString mask;                 // --mask: the mask of the one input
    QString maskDir;              // --mask-dir: masks named after their inputs
    QString changesDir;           // --changes: what the clean-up passes changed, per input
    int jobs = 1;
    bool quiet = false;
    QStringList fileLists;  // --files-from: files of input names, "-" for standard input
    QString report;         // --report: one JSON line per input, appended
    QStringList skipDone;   // --skip-done: reports whose done inputs are not run again
    int shardIndex = 0;     // --shard K/N: only the inputs at positions K, K + N, ...
    int shardCount = 1;
    // The inputs to run: the command line's, then the lists', in order, less
    // those of other shards and those found done.
    InputNames inputs;
    QSet<int> notUtf8Inputs;  // inputs whose name was not UTF-8, on the command line or in a list
    qsizetype listed = 0;     // inputs before the shard and --skip-done took theirs
    qsizetype skipped = 0;    // inputs of this shard found done by --skip-done
    // The folders the images are written in, links followed, each once.
    QList<QByteArray> outputFolders;

    // Where input i's picture and mask go; empty when not asked for.
    QString pictureFor(int i) const;
    QString maskFor(int i) const;
    // Input i's picture of changes: "scan.changes.png" in changesDir, or empty.
    QString changesFor(int i) const;

    // The steps' names, in order.
    QStringList stepNames() const;

    // The registry's passes marked byDefault, once each, in its order.
    static QList<const PassEntry *> defaultSteps();
};

struct ParsedArguments {
    enum Action { Run, Help, Version, Usage } action = Run;
    BatchOptions options;
    QString error;  // for Usage: what was wrong
};

// Reads the command line (arguments[0] is the program). Everything is
// checked here, before any file is read: the steps, the thresholds, the
// output names and their formats, that no output lands on an input or on
// another output (as files, links followed), and that the outputs' folders
// can be written. `cores` is the default for -j, four times it its maximum.
// `notUtf8` holds the arguments whose bytes were not valid UTF-8, as Qt
// decoded them: such inputs are reported as unreadable, such outputs refused.
ParsedArguments parseBatchArguments(const QStringList &arguments, int cores,
                                    const QSet<QString> &notUtf8 = {});

// Whether input `position` of a list (from 0) belongs to shard `index` of
// `count`: positions index, index + count, index + 2 count... So `count`
// shards over one list take every input exactly once, and each a spread of
// the list rather than one end of it.
inline bool inShard(qsizetype position, int index, int count) {
    return position % count == index;
}

// "R,G,B" as three plain decimal numbers with a dot, whatever the locale.
bool parseThresholds(const QString &text, Thresholds *thresholds);

QString batchUsage();

}  // namespace ink
