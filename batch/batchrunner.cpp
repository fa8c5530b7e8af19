#include "batch/batchrunner.h"

#include "core/platform/convert.h"
#include "core/platform/imagefiles.h"
#include "core/platform/loadpicture.h"

#include <QElapsedTimer>

#include <bit>
#include <memory>
#include <new>

namespace ink {

namespace {

// The end-of-column step of the batch tool: nothing to show, no events to
// pump. Its Cancel box is Ctrl-C, which stays ticked once pressed so that
// every pass still to run stops too.
class QuietStep : public ColumnStep {
public:
    QuietStep(const std::atomic<bool> &interrupt, FileProgress *progress, qint32 firstColumn,
              qint32 lastColumn)
        : m_interrupt(interrupt),
          m_progress(progress),
          m_first(firstColumn),
          m_count(qint64(lastColumn) - firstColumn + 1) {}

    void refreshPicture(qint32 column) override {
        if (m_progress && m_count > 0)
            m_progress->percent.store(int(100 * (qint64(column) - m_first + 1) / m_count),
                                      std::memory_order_relaxed);
    }
    void setProgress(const QString &) override {}
    void refreshWindow() override {}
    void doEvents() override {}
    int cancelValue() override { return m_interrupt.load(std::memory_order_relaxed) ? 1 : 0; }
    void setCancelValue(int) override {}

private:
    const std::atomic<bool> &m_interrupt;
    FileProgress *m_progress;
    qint32 m_first;
    qint64 m_count;
};

// The cells that went from white to black and from black to white between
// two masks of the same bounds, counted a word at a time.
FileResult::StepCounts countChanges(const PackedMask &before, const PackedMask &after) {
    FileResult::StepCounts counts;
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

bool BatchRunner::runSteps(QImage picture, FileProgress *progress) {
    m_model.load(std::move(picture));
    m_result.steps.clear();
    if (!m_options.changesDir.isEmpty())
        m_baseline.assign(m_model.Mask);
    for (int i = 0; i < m_options.steps.size(); ++i) {
        const std::unique_ptr<PackedOperation> pass =
            packedOperation(*m_options.steps[i], m_options.thresholds);
        const PassRange range = pass->range();
        const qint32 lastColumn = roundToInt32(m_model.picture.Width() - range.columnMargin);
        if (progress) {
            progress->percent.store(0, std::memory_order_relaxed);
            progress->step.store(i, std::memory_order_relaxed);
        }
        QuietStep step(m_interrupt, progress, range.firstColumn, lastColumn);
        m_before.assign(m_model.Mask);
        if (runColumnPass(m_model, step, *pass).cancelled)
            return false;
        m_result.steps.push_back(countChanges(m_before, m_model.Mask));
        if (progress) {
            progress->filled.store(m_result.steps.back().filled, std::memory_order_relaxed);
            progress->erased.store(m_result.steps.back().erased, std::memory_order_relaxed);
        }
        // The picture of changes shows the clean-up after the last NB.
        if (!m_options.changesDir.isEmpty() && m_options.steps[i]->name == QLatin1String("nb"))
            m_baseline.assign(m_model.Mask);
    }
    return true;
}

BatchRunner::Result BatchRunner::run(int index, FileProgress &progress, QStringList &errors) {
    QElapsedTimer timer;
    timer.start();
    m_result = FileResult();
    m_result.input = m_options.inputs.at(index);
    m_result.thresholds = m_options.thresholds;
    const qsizetype known = errors.size();
    const Result result = runFile(index, progress, errors);
    m_result.status = result == Result::Done     ? FileResult::Status::Done
                      : result == Result::Failed ? FileResult::Status::Failed
                                                 : FileResult::Status::Interrupted;
    if (errors.size() > known)
        m_result.error = errors.at(known);
    m_result.milliseconds = timer.elapsed();
    return result;
}

bool BatchRunner::write(const QImage &image, const QString &path, QStringList &errors) {
    QString error;
    if (!writeImageFile(image, path, &error)) {
        errors << QStringLiteral("%1: cannot write: %2").arg(path, error);
        return false;
    }
    m_result.outputs << path;
    return true;
}

BatchRunner::Result BatchRunner::runFile(int index, FileProgress &progress, QStringList &errors) {
    const QString input = m_options.inputs.at(index);
    QString error;
    // Its name as Qt has it, invalid bytes replaced, names another file.
    if (m_options.notUtf8Inputs.contains(index)) {
        errors << QStringLiteral("%1: cannot read: the file name is not valid UTF-8").arg(input);
        return Result::Failed;
    }
    // The window's loader, into the last picture's buffer.
    try {
        LoadPicture(input, &m_image);
    } catch (const RuntimeError &e) {
        errors << QStringLiteral("%1: cannot read: %2").arg(input, e.description());
        return Result::Failed;
    }
    // An output that cannot hold the picture fails now, not after the passes.
    for (const QString &output :
         {m_options.maskFor(index), m_options.pictureFor(index), m_options.changesFor(index)}) {
        error = imageSizeProblem(m_image.size(), output);
        if (!error.isEmpty()) {
            errors << QStringLiteral("%1: cannot write: %2").arg(output, error);
            return Result::Failed;
        }
    }
    try {
        if (!runSteps(std::move(m_image), &progress))
            return Result::Interrupted;
    } catch (const RuntimeError &e) {
        errors << input + QStringLiteral(": ") + e.lineText();
        return Result::Failed;
    } catch (const std::bad_alloc &) {
        errors << QStringLiteral("%1: out of memory").arg(input);
        return Result::Failed;
    }

    progress.step.store(int(m_options.steps.size()), std::memory_order_relaxed);
    Result result = Result::Done;
    try {
        // After Ctrl-C, no write begins: only those already running end.
        const QString maskPath = m_options.maskFor(index);
        if (!maskPath.isEmpty()) {
            if (m_interrupt.load())
                return Result::Interrupted;
            const QImage mask = maskImage(m_model.Mask, m_model.picture.original());
            if (mask.isNull())
                throw std::bad_alloc();
            if (!write(mask, maskPath, errors))
                result = Result::Failed;
        }
        const QString changesPath = m_options.changesFor(index);
        if (!changesPath.isEmpty()) {
            if (m_interrupt.load())
                return Result::Interrupted;
            const QImage changes = changesImage(
                m_baseline, m_model.Mask, QSize(m_model.picture.width(), m_model.picture.height()));
            if (!write(changes, changesPath, errors))
                result = Result::Failed;
        }
        const QString picturePath = m_options.pictureFor(index);
        if (!picturePath.isEmpty()) {
            if (m_interrupt.load())
                return Result::Interrupted;
            m_image = m_model.picture.takeImage();
            if (!write(m_image, picturePath, errors))
                result = Result::Failed;
        }
    } catch (const std::exception &) {
        errors << QStringLiteral("%1: out of memory while writing").arg(input);
        result = Result::Failed;
    }
    return result;
}

}  // namespace ink
