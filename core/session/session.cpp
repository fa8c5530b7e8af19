#include "core/session/session.h"

#include "core/ops/paper.h"
#include "core/ops/threshold.h"
#include "core/platform/convert.h"
#include "core/platform/loadpicture.h"

#include <memory>
#include <utility>

namespace ink {

namespace {

class BoxSettings : public SettingsSource {
public:
    BoxSettings(SessionView &view, std::shared_ptr<const PaperEstimate> paper)
        : m_view(view), m_paper(std::move(paper)) {}
    Thresholds thresholds() override {
        Thresholds t;
        t.paper = m_paper;
        t.green = read(ThresholdBox::vbox, QStringLiteral("vbox"));
        t.blue = read(ThresholdBox::bbox, QStringLiteral("bbox"));
        t.red = read(ThresholdBox::rbox, QStringLiteral("rbox"));
        return t;
    }

    qint32 speckSize() override {
        return roundToInt32(textToDouble(m_view.speckText(), QStringLiteral("tachesbox")));
    }

private:
    double read(ThresholdBox box, const QString &name) {
        return textToDouble(m_view.thresholdText(box), name);
    }

    SessionView &m_view;
    std::shared_ptr<const PaperEstimate> m_paper;
};

}  // namespace

Session::Session(Module1 &module, SessionPicture &picture, SessionView &view)
    : m_module(module), m_picture(picture), m_view(view) {}

void Session::load() {
    const QImage picture = LoadPicture(m_module.ImagePath);
    GeoReference geo = readGeoReference(m_module.ImagePath);
    install(picture);
    m_geo = std::move(geo);
}

void Session::install(const QImage &picture) {
    // The picture area takes the picture's size.
    MaskArray mask;
    MaskArray workMask;
    mask.allocate(picture.width(), picture.height());
    workMask.allocate(picture.width(), picture.height());
    // Kept for Compare and for the history, which refers to the scan's colours
    // rather than copying them. An RGB32 picture is shared, not copied.
    // Passes read it a column at a time as they record, hence the large pages.
    QImage loaded = onLargePages(picture.convertToFormat(QImage::Format_RGB32));
    if (loaded.isNull() && !picture.isNull())
        throw RuntimeError::outOfMemory();
    ScanInk ink = scanInkOf(loaded);
    // A pass being recorded stops reading the picture, the scan and the masks
    // before they go.
    if (m_recorder)
        m_recorder->abandon();
    m_picture.replace(picture);
    m_module.Mask = std::move(mask);
    m_module.WorkMask = std::move(workMask);
    m_loaded = std::move(loaded);
    m_paper.reset();
    m_loadedInk = std::move(ink);
    m_history.clear();
    m_historyWhole = true;
}

bool Session::open(const QString &path, OpenDone done) {
    if (m_passRunning || reading())
        return false;
    return m_read.start(path, [this, done = std::move(done)](PictureRead::Outcome &outcome) {
        std::optional<RuntimeError> failure = std::move(outcome.error);
        if (!failure) {
            try {
                install(outcome.picture);
                m_module.ImagePath = outcome.path;
                m_geo = std::move(outcome.geo);
            } catch (const RuntimeError &error) {
                failure = error;
            } catch (const std::bad_alloc &) {
                failure = RuntimeError::outOfMemory();
            }
        }
        done(failure ? &*failure : nullptr);
    });
}

bool Session::reload() {
    if (reading())
        return false;
    setCancelValue(1);
    bool replaced = false;
    guarded([&] {
        load();
        replaced = true;
    });
    if (replaced && m_passRunning)
        m_pictureReplaced = true;
    return replaced;
}

bool Session::runPass(ColumnOperation &operation) {
    if (m_passRunning || reading())
        return false;
    m_passRunning = true;
    // Right after loading, or with every pass since undone, the picture is
    // the scan as loaded, and the recorder need not copy what the pass
    // writes over.
    ChangeRecorder recorder(picture(), m_loaded, m_historyWhole && m_history.pictureAsLoaded(),
                            &m_recorderBuffers, &m_loadedInk);
    RecordingOperation recording(operation, recorder);
    m_recorder = &recorder;
    guarded([&] { m_lastPassOutcome = runColumnPass(m_module, recorder, *this, recording); });
    m_recorder = nullptr;
    m_passRunning = false;
    // A picture replaced during the pass has started a new history already.
    if (!m_pictureReplaced) {
        try {
            m_history.push(recorder.finish());
        } catch (const std::bad_alloc &) {
            // Without this pass's record the older ones no longer fit the
            // picture: start afresh.
            m_history.clear();
            m_historyWhole = false;
        }
    }
    m_pictureReplaced = false;
    if (m_closePending) {
        m_closePending = false;
        m_view.closeNow();
    }
    return true;
}

bool Session::runPass(const PassEntry &pass) {
    BoxSettings boxes(m_view, m_local ? paper() : nullptr);
    const std::unique_ptr<ColumnOperation> operation = pass.perPixel(boxes);
    return runPass(*operation);
}

std::shared_ptr<const PaperEstimate> Session::paper() {
    if (!m_paper && !m_loaded.isNull())
        m_paper = std::make_shared<const PaperEstimate>(estimatePaper(m_loaded));
    return m_paper;
}

bool Session::undo() {
    return step(false);
}

bool Session::redo() {
    return step(true);
}

bool Session::step(bool forward) {
    if (m_passRunning || reading())
        return false;
    const std::shared_ptr<const PassChanges> changes =
        forward ? m_history.redo() : m_history.undo();
    if (!changes)
        return false;
    changes->apply(picture(), m_module.Mask, m_loaded, forward);
    // The pass's working copy follows, as after a copy-back.
    guarded([&] { m_module.WorkMask.assign(m_module.Mask); });
    return true;
}

bool Session::requestClose() {
    if (!m_passRunning) {
        m_read.drop();
        return true;
    }
    m_closePending = true;
    return false;
}

void Session::doEvents() {
    m_view.doEvents();
    // A close asked for during the pump, or a picture replaced by Reload, ends
    // the pass here, as Cancel would.
    if (m_closePending || m_pictureReplaced)
        setCancelValue(1);
}

}  // namespace ink
