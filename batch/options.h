#pragma once

#include "core/ops/passes.h"
#include "core/ops/threshold.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

namespace ink {

// What one run of inkmask-batch is asked to do.
struct BatchOptions {
    QList<const PassEntry *> steps = defaultSteps();  // entries of passRegistry()
    Thresholds thresholds{180, 180, 180};
    QString output;      // -o: the picture of the one input
    QString outputDir;   // --output-dir: pictures named after their inputs
    QString mask;        // --mask: the mask of the one input
    QString maskDir;     // --mask-dir: masks named after their inputs
    QString changesDir;  // --changes: what the clean-up passes changed, per input
    int jobs = 1;
    bool quiet = false;
    QStringList inputs;
    QSet<int> notUtf8Inputs;  // inputs whose name on the command line was not UTF-8

    // Where input i's picture and mask go; empty when not asked for.
    QString pictureFor(int i) const;
    QString maskFor(int i) const;
    // Input i's picture of changes: "scan.changes.png" in changesDir, or empty.
    QString changesFor(int i) const;

    // Every pass once, in the registry's order.
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

// "R,G,B" as three plain decimal numbers with a dot, whatever the locale.
bool parseThresholds(const QString &text, Thresholds *thresholds);

QString batchUsage();

}  // namespace ink
