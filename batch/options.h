#pragma once

#include "ops/threshold.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace ink {

// The passes the batch tool can run, named as the window's buttons.
enum class BatchStep { Nb, Bouchtrou, Affine };
QString stepName(BatchStep step);

// What one run of inkmask-batch is asked to do.
struct BatchOptions {
    QList<BatchStep> steps{BatchStep::Nb, BatchStep::Bouchtrou, BatchStep::Affine};
    Thresholds thresholds{180, 180, 180};
    QString output;     // -o: the picture of the one input
    QString outputDir;  // --output-dir: pictures named after their inputs
    QString mask;       // --mask: the mask of the one input
    QString maskDir;    // --mask-dir: masks named after their inputs
    int jobs = 1;
    bool quiet = false;
    QStringList inputs;

    // Where input i's picture and mask go; empty when not asked for.
    QString pictureFor(int i) const;
    QString maskFor(int i) const;
};

struct ParsedArguments {
    enum Action { Run, Help, Version, Usage } action = Run;
    BatchOptions options;
    QString error;  // for Usage: what was wrong
};

// Reads the command line (arguments[0] is the program). Everything is
// checked here, before any file is read: the steps, the thresholds, the
// output names and their formats. `cores` is the default for -j.
ParsedArguments parseBatchArguments(const QStringList &arguments, int cores);

// "R,G,B" as three plain decimal numbers with a dot, whatever the locale.
bool parseThresholds(const QString &text, Thresholds *thresholds);

QString batchUsage();

// The file format for a file name's extension: "png", "tiff", or empty.
QByteArray imageFormatFor(const QString &fileName);

}  // namespace ink
