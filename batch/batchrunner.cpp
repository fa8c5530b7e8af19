#include "batch/batchrunner.h"

#include "core/platform/convert.h"
#include "core/platform/imagefiles.h"
#include "core/platform/loadpicture.h"
#include "core/platform/pngcodec.h"

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

}  // namespace

bool BatchRunner::runSteps(QImage picture, FileProgress *progress) {
    m_model.load(std::move(picture));
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
        if (runColumnPass(m_model, step, *pass).cancelled)
            return false;
    }
    return true;
}

BatchRunner::Result BatchRunner::run(int index, FileProgress &progress, QStringList &errors) {
    const QString input = m_options.inputs.at(index);
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
    } catch (const RuntimeError &e) {
        errors << QStringLiteral("%1: cannot read: %2").arg(input, e.description());
        return Result::Failed;
    }
    // An output that cannot hold the picture fails now, not after the passes.
    for (const QString &output : {m_options.maskFor(index), m_options.pictureFor(index)}) {
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
            if (!writeImageFile(mask, maskPath, &error)) {
                errors << QStringLiteral("%1: cannot write: %2").arg(maskPath, error);
                result = Result::Failed;
            }
        }
        const QString picturePath = m_options.pictureFor(index);
        if (!picturePath.isEmpty()) {
            if (m_interrupt.load())
                return Result::Interrupted;
            // Written from the buffer the next file is read into: the
            // encoder may use its pixels as working memory.
            m_image = m_model.picture.takeImage();
            if (!writeImageFile(std::move(m_image), picturePath, &error)) {
                errors << QStringLiteral("%1: cannot write: %2").arg(picturePath, error);
                result = Result::Failed;
            }
        }
        // With only a mask written, the picture's buffer comes back too, for
        // the next file to be read into.
        if (m_image.isNull())
            m_image = m_model.picture.takeImage();
    } catch (const std::exception &) {
        errors << QStringLiteral("%1: out of memory while writing").arg(input);
        result = Result::Failed;
    }
    return result;
}

}  // namespace ink
