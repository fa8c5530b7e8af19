#include "batch/batchrunner.h"

#include "core/files/imagefiles.h"
#include "core/files/loadpicture.h"
#include "core/files/pngcodec.h"
#include "core/ops/autothreshold.h"
#include "core/runtime/convert.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>

#include <bit>
#include <memory>
#include <new>

namespace ink {

namespace {

// The end-of-column step of the batch tool: nothing to show, no events to
// pump. Its Cancel box is Ctrl-C, which stays ticked once pressed so that
// every pass still to run stops too. The progress is the share of the
// columns done, whichever thread did them.
class QuietStep : public ColumnStep {
public:
    QuietStep(const std::atomic<bool> &interrupt, FileProgress *progress, qint32 firstColumn,
              qint32 lastColumn)
        : m_interrupt(interrupt),
          m_progress(progress),
          m_count(qint64(lastColumn) - firstColumn + 1) {}

    // Counted by whole bands of columns: one counter that every thread
    // updated after each column cost a column's work when two threads did.
    void refreshPicture(qint32 column) override {
        if (!m_progress || m_count <= 0 || column % kBand != 0)
            return;
        const qint64 done = m_done.fetch_add(kBand, std::memory_order_relaxed) + kBand;
        m_progress->percent.store(int(100 * std::min(done, m_count) / m_count),
                                  std::memory_order_relaxed);
    }
    void setProgress(const QString &) override {}
    void refreshWindow() override {}
    void doEvents() override {}
    int cancelValue() override { return m_interrupt.load(std::memory_order_relaxed) ? 1 : 0; }
    void setCancelValue(int) override {}
    bool quiet() const override { return true; }

private:
    static constexpr qint32 kBand = 64;
    const std::atomic<bool> &m_interrupt;
    FileProgress *m_progress;
    qint64 m_count;
    std::atomic<qint64> m_done{0};
};

// Threads borrowed for one pass, given back when it ends however it ends.
class BorrowedThreads {
public:
    BorrowedThreads(SpareThreads *spare, int most)
        : m_spare(spare), m_count(spare && most > 0 ? spare->borrow(most) : 0) {}
    ~BorrowedThreads() {
        if (m_count > 0)
            m_spare->giveBack(m_count);
    }
    BorrowedThreads(const BorrowedThreads &) = delete;
    BorrowedThreads &operator=(const BorrowedThreads &) = delete;
    int count() const { return m_count; }

private:
    SpareThreads *m_spare;
    int m_count;
};

// The cells that went from white to black and from black to white between
// two masks of the same bounds, counted a word at a time.
FileResult::StepChanges countChanges(const PackedMask &before, const PackedMask &after) {
    FileResult::StepChanges counts;
    for (qint32 x = 0; x <= after.upperX(); ++x) {
        const quint64 *b = before.column(x);
        const quint64 *a = after.column(x);
        for (qint32 k = 0; k < after.wordsPerColumn(); ++k) {
            const quint64 changed = b[k] ^ a[k];
            counts.filled += std::popcount(changed & a[k]);
            counts.erased += std::popcount(changed & b[k]);
        }
    }
    return counts;
}

}  // namespace

QImage BatchRunner::changesImage(const PackedMask &before, const PackedMask &after, QSize size) {
    enum : uchar { kPaper, kInk, kFilled, kErased };
    QImage image(size, QImage::Format_Indexed8);
    if (image.isNull())
        throw std::bad_alloc();
    image.setColorTable({qRgb(255, 255, 255), qRgb(0xC8, 0xC8, 0xC8), qRgb(0x00, 0x72, 0xB2),
                         qRgb(0xD5, 0x5E, 0x00)});
    uchar *bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    for (int x = 0; x < size.width(); ++x) {
        const quint64 *b = before.column(x);
        const quint64 *a = after.column(x);
        for (int y = 0; y < size.height(); ++y) {
            const bool was = (b[y / 64] >> (y % 64)) & 1, is = (a[y / 64] >> (y % 64)) & 1;
            bits[y * stride + x] = was == is ? (is ? kInk : kPaper) : (is ? kFilled : kErased);
        }
    }
    return image;
}

QString mostlyBlackWarning(int percent) {
    return QStringLiteral(
               "NB left %1 % of the picture black: the thresholds may be too high "
               "for this scan, or uneven light taken for ink (try --thresholds auto, "
               "--local)")
        .arg(percent);
}

namespace {

// The black cells of the mask on the picture's w x h pixels, in percent,
// rounded down.
int blackPercent(const PackedMask &mask, qint32 w, qint32 h) {
    if (w <= 0 || h <= 0)
        return 0;
    qint64 black = 0;
    for (qint32 x = 0; x < w; ++x) {
        const quint64 *column = mask.column(x);
        for (qint32 k = 0; qint64(k) * PackedMask::kBits < h; ++k)
            black += std::popcount(column[k] & PackedMask::rowBits(k, 0, h - 1));
    }
    return int(black * 100 / (qint64(w) * h));
}

}  // namespace

bool BatchRunner::runSteps(QImage picture, FileProgress *progress) {
    m_thresholds = m_options.thresholds;
    std::shared_ptr<const PaperEstimate> paper;
    if (m_options.local)
        paper = std::make_shared<const PaperEstimate>(estimatePaper(picture));
    if (m_options.autoThresholds) {
        m_thresholds = automaticThresholds(picture, paper.get());
        if (progress)
            progress->autoThresholds.store(
                int(m_thresholds.red) << 16 | int(m_thresholds.green) << 8 | int(m_thresholds.blue),
                std::memory_order_relaxed);
    }
    m_thresholds.paper = paper;
    m_model.load(std::move(picture));
    m_changes.clear();
    m_warnings.clear();
    if (progress)
        progress->mostlyBlack.store(-1, std::memory_order_relaxed);
    if (!m_options.changesDir.isEmpty())
        m_baseline.assign(m_model.Mask);
    for (int i = 0; i < m_options.steps.size(); ++i) {
        const std::unique_ptr<PackedOperation> pass =
            packedOperation(*m_options.steps[i], {m_thresholds, m_options.speckSize});
        const PassRange range = pass->range();
        const qint32 lastColumn = roundToInt32(m_model.picture.Width() - range.columnMargin);
        if (progress) {
            progress->percent.store(0, std::memory_order_relaxed);
            progress->step.store(i, std::memory_order_relaxed);
        }
        QuietStep step(m_interrupt, progress, range.firstColumn, lastColumn);
        const BorrowedThreads borrowed(m_spare, m_threadsPerFile - 1);
        m_before.assign(m_model.Mask);
        if (runColumnPass(m_model, step, *pass, 1 + borrowed.count()).cancelled)
            return false;
        m_changes.append(countChanges(m_before, m_model.Mask));
        if (m_options.steps[i]->name == QLatin1String("nb")) {
            const int percent =
                blackPercent(m_model.Mask, m_model.picture.width(), m_model.picture.height());
            if (percent > kMostlyBlackPercent) {
                m_warnings << mostlyBlackWarning(percent);
                if (progress)
                    progress->mostlyBlack.store(percent, std::memory_order_relaxed);
            }
        }
        if (progress) {
            progress->filled.store(m_changes.back().filled, std::memory_order_relaxed);
            progress->erased.store(m_changes.back().erased, std::memory_order_relaxed);
        }
        // The picture of changes shows the clean-up after the last NB.
        if (!m_options.changesDir.isEmpty() && m_options.steps[i]->name == QLatin1String("nb"))
            m_baseline.assign(m_model.Mask);
    }
    return true;
}

FileResult BatchRunner::run(int index, FileProgress &progress) {
    FileResult result;
    result.input = m_options.inputs.at(index);
    result.thresholds = m_options.thresholds;
    result.started = QDateTime::currentMSecsSinceEpoch();
    QElapsedTimer clock;
    clock.start();
    progress.autoThresholds.store(-1, std::memory_order_relaxed);
    result.status = runFile(index, progress, result);
    result.milliseconds = clock.elapsed();
    return result;
}

BatchRunner::Result BatchRunner::runFile(int index, FileProgress &progress, FileResult &result) {
    const QString &input = result.input;
    QStringList &errors = result.errors;
    QString error;
    // Its name as Qt has it, invalid bytes replaced, names another file.
    if (m_options.notUtf8Inputs.contains(index)) {
        errors << QStringLiteral("%1: cannot read: the file name is not valid UTF-8").arg(input);
        return Result::Failed;
    }
    // The window's loader, into the last picture's buffer; the file's bytes
    // and the codecs' rows too go to the buffers of the files before.
    keepCodecBuffers(true);
    try {
        LoadPicture(input, &m_image);
        m_geo = readGeoReference(input);
    } catch (const RuntimeError &e) {
        errors << QStringLiteral("%1: cannot read: %2").arg(input, e.description());
        return Result::Failed;
    }
    // An output that cannot hold the picture fails now, not after the passes.
    // The picture of changes is always PNG: the way out is to leave it out.
    const QString changesPath = m_options.changesFor(index);
    for (const QString &output :
         {m_options.maskFor(index), m_options.pictureFor(index), changesPath}) {
        error = imageSizeProblem(
            m_image.size(), output,
            output == changesPath
                ? QStringLiteral("--changes writes only PNG; run this file without --changes")
                : QString());
        if (!error.isEmpty()) {
            errors << QStringLiteral("%1: cannot write: %2").arg(output, error);
            return Result::Failed;
        }
    }
    try {
        const bool finished = runSteps(std::move(m_image), &progress);
        result.thresholds = m_thresholds;
        result.changes = m_changes;
        result.warnings = m_warnings;
        if (!m_geo.problem.isEmpty())
            result.warnings << m_geo.problem;
        if (!finished)
            return Result::Interrupted;
    } catch (const RuntimeError &e) {
        errors << input + QStringLiteral(": ") + e.lineText();
        return Result::Failed;
    } catch (const std::bad_alloc &) {
        errors << QStringLiteral("%1: out of memory").arg(input);
        return Result::Failed;
    }

    progress.step.store(int(m_options.steps.size()), std::memory_order_relaxed);
    // A file written is listed with what it holds, its size and its digest,
    // which --skip-done checks later.
    QList<FileResult::Output> pending;
    // The file's outputs are written all or none: each to its temporary, then
    // all renamed together. A failure or Ctrl-C before that changes no file.
    OutputSet outputs;
    const Result status = writeOutputs(index, outputs, errors, pending);
    // With the picture not written, its buffer comes back too, for the next
    // file to be read into.
    if (m_image.isNull())
        m_image = m_model.picture.takeImage();
    if (status != Result::Done)
        return status;
    if (!outputs.commit(&error, &m_interrupt)) {
        if (m_interrupt.load())
            return Result::Interrupted;
        errors << QStringLiteral("%1: cannot write: %2").arg(outputs.failedPath(), error);
        return Result::Failed;
    }
    for (FileResult::Output &output : pending) {
        output.bytes = QFileInfo(output.file).size();
        result.outputs.append(output);
    }
    return Result::Done;
}

BatchRunner::Result BatchRunner::writeOutputs(int index, OutputSet &outputs, QStringList &errors,
                                              QList<FileResult::Output> &pending) {
    using Kind = FileResult::Output::Kind;
    QString error;
    // Each output with the scan's georeferencing: its GeoTIFF tags in a TIFF
    // file, and its world file, when it has one, beside it in the same set.
    const auto add = [&](Kind kind, auto &&image, const QString &path) {
        QByteArray digest;
        if (!outputs.add(std::forward<decltype(image)>(image), path, &error, &digest,
                         m_geo.tiffTags)) {
            errors << QStringLiteral("%1: cannot write: %2").arg(path, error);
            return false;
        }
        pending.append({path, kind, 0, digest});
        const QByteArray world = m_geo.worldFileFor(path);
        if (world.isEmpty())
            return true;
        const QString worldPath = worldFileName(path);
        error = worldFileProblem(worldPath, m_options.inputs.at(index), m_geo.worldFileName);
        if (error.isEmpty() && outputs.add(world, worldPath, &error, &digest)) {
            pending.append({worldPath, Kind::World, 0, digest});
            return true;
        }
        errors << QStringLiteral("%1: cannot write: %2").arg(worldPath, error);
        return false;
    };
    try {
        // After Ctrl-C, no write begins: those already running end, and are
        // not renamed into place.
        const QString maskPath = m_options.maskFor(index);
        if (!maskPath.isEmpty()) {
            if (m_interrupt.load())
                return Result::Interrupted;
            const QImage mask = maskImage(m_model.Mask, m_model.picture.original());
            if (mask.isNull())
                throw std::bad_alloc();
            if (!add(Kind::Mask, mask, maskPath))
                return Result::Failed;
        }
        const QString changesPath = m_options.changesFor(index);
        if (!changesPath.isEmpty()) {
            if (m_interrupt.load())
                return Result::Interrupted;
            const QImage changes = changesImage(
                m_baseline, m_model.Mask, QSize(m_model.picture.width(), m_model.picture.height()));
            if (!add(Kind::Changes, changes, changesPath))
                return Result::Failed;
        }
        const QString picturePath = m_options.pictureFor(index);
        if (!picturePath.isEmpty()) {
            if (m_interrupt.load())
                return Result::Interrupted;
            // Written from the buffer the next file is read into: the
            // encoder may use its pixels as working memory.
            m_image = m_model.picture.takeImage();
            if (!add(Kind::Picture, std::move(m_image), picturePath))
                return Result::Failed;
        }
    } catch (const std::exception &) {
        errors << QStringLiteral("%1: out of memory while writing").arg(m_options.inputs.at(index));
        return Result::Failed;
    }
    return m_interrupt.load() ? Result::Interrupted : Result::Done;
}

}  // namespace ink
