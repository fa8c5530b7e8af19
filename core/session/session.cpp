#include "core/session/session.h"

#include "core/ops/threshold.h"
#include "core/platform/convert.h"
#include "core/platform/loadpicture.h"

#include <memory>
#include <utility>

namespace ink {

namespace {

class BoxThresholds : public ThresholdSource {
public:
    explicit BoxThresholds(SessionView &view) : m_view(view) {}
    Thresholds thresholds() override {
        Thresholds t;
        t.green = read(ThresholdBox::vbox, QStringLiteral("vbox"));
        t.blue = read(ThresholdBox::bbox, QStringLiteral("bbox"));
        t.red = read(ThresholdBox::rbox, QStringLiteral("rbox"));
        return t;
    }

private:
    double read(ThresholdBox box, const QString &name) {
        return textToDouble(m_view.thresholdText(box), name);
    }

    SessionView &m_view;
};

}  // namespace

Session::Session(Module1 &module, SessionPicture &picture, SessionView &view)
    : m_module(module), m_picture(picture), m_view(view) {}

void Session::load() {
    install(LoadPicture(m_module.ImagePath));
}

void Session::install(const QImage &picture) {
    // The picture area takes the picture's size.
    MaskArray mask;
    MaskArray workMask;
    mask.allocate(picture.width(), picture.height());
    workMask.allocate(picture.width(), picture.height());
    m_picture.replace(picture);
    m_module.Mask = std::move(mask);
    m_module.WorkMask = std::move(workMask);
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
    guarded([&] { m_lastPassOutcome = runColumnPass(m_module, picture(), *this, operation); });
    m_passRunning = false;
    m_pictureReplaced = false;
    if (m_closePending) {
        m_closePending = false;
        m_view.closeNow();
    }
    return true;
}

bool Session::runPass(const PassEntry &pass) {
    BoxThresholds boxes(m_view);
    const std::unique_ptr<ColumnOperation> operation = pass.perPixel(boxes);
    return runPass(*operation);
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
