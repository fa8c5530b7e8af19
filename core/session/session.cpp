#include "core/session/session.h"

#include "core/files/loadpicture.h"
#include "core/ops/paper.h"
#include "core/ops/threshold.h"
#include "core/runtime/convert.h"
#include "core/runtime/runtimeerror.h"

#include <array>
#include <memory>
#include <optional>
#include <utility>

namespace ink {

namespace {

// The number a box holds; error 13 for any other text, with a line naming the
// box by its caption and saying what it must hold.
double boxNumber(const QString &text, const QString &name, const QString &caption,
                 const QString &needs) {
    try {
        return textToDouble(text, name);
    } catch (const RuntimeError &error) {
        throw error.withDetail(
            QStringLiteral("The %1 box must hold %2; it holds \"%3\".").arg(caption, needs, text));
    }
}

class BoxSettings : public SettingsSource {
public:
    BoxSettings(SessionView &view, std::shared_ptr<const PaperEstimate> paper)
        : m_view(view), m_paper(std::move(paper)) {}
    Thresholds thresholds() override {
        Thresholds t;
        t.paper = m_paper;
        t.green = read(ThresholdBox::vbox, QStringLiteral("vbox"), QStringLiteral("V"));
        t.blue = read(ThresholdBox::bbox, QStringLiteral("bbox"), QStringLiteral("B"));
        t.red = read(ThresholdBox::rbox, QStringLiteral("rbox"), QStringLiteral("R"));
        return t;
    }

    qint32 speckSize() override {
        return roundToInt32(boxNumber(m_view.speckText(), QStringLiteral("tachesbox"),
                                      QStringLiteral("speck size"),
                                      QStringLiteral("a whole number")));
    }

private:
    // A box read at every column mostly holds what it held at the last one:
    // the text it was read from is kept with its number.
    double read(ThresholdBox box, const QString &name, const QString &caption) {
        Read &last = m_last[size_t(box)];
        QString text = m_view.thresholdText(box);
        if (last.valid && text == last.text)
            return last.value;
        last.valid = false;
        last.value = boxNumber(text, name, caption, QStringLiteral("a number"));
        last.text = std::move(text);
        last.valid = true;
        return last.value;
    }

    struct Read {
        QString text;
        double value = 0;
        bool valid = false;
    };
    std::array<Read, 3> m_last;
    SessionView &m_view;
    std::shared_ptr<const PaperEstimate> m_paper;
};

// One of the user's passes as the window runs it: the pass's kernel, given
// the settings the boxes hold when its per-pixel operation would read them.
// NB's thresholds are read at every column that has rows; when they change,
// the columns from there on are done by a kernel made for the new ones (the
// mask and picture it works on are the same, so nothing else changes).
//
// The kernels read the scan and the planes, not the rare pixels painted
// another colour (the inspector's blinking cursor): NB's rule decides those
// afterwards, pixel by pixel, as it would have. A picture with many of them
// is left to the rule altogether.
class BoxedPass : public PackedOperation {
public:
    BoxedPass(const PassEntry &pass, SettingsSource &source) : m_pass(pass), m_source(source) {}

    PassRange range() const override { return m_pass.range; }
    void passStart(KernelModel &model) override {
        if (m_pass.reads == PassEntry::Reads::speckAtStart)
            m_settings.speckSize = m_source.speckSize();
        m_perPixel = model.picture.others().size() > kFewOthers &&
                     m_pass.reads == PassEntry::Reads::thresholdsEachColumn;
        m_kernel = m_perPixel ? std::make_unique<PerPixelOperation>(m_pass.perPixel, m_source)
                              : packedOperation(m_pass, m_settings);
        m_kernel->passStart(model);
    }
    void processColumn(KernelModel &model, qint32 x, qint32 y0, qint32 y1) override {
        if (m_perPixel || m_pass.reads != PassEntry::Reads::thresholdsEachColumn || y1 < y0) {
            m_kernel->processColumn(model, x, y0, y1);
            return;
        }
        const Thresholds t = m_source.thresholds();
        const Thresholds &was = m_settings.thresholds;
        if (!m_rule || t.red != was.red || t.green != was.green || t.blue != was.blue ||
            t.paper != was.paper) {
            m_settings.thresholds = t;
            m_kernel = packedOperation(m_pass, m_settings);
            m_fixed = std::make_unique<FixedSettings>(m_settings);
            m_rule = m_pass.perPixel(*m_fixed);
        }
        Sheet &sheet = model.picture;
        std::vector<std::pair<qint32, ColorValue>> others;
        for (const auto &[index, color] : sheet.others()) {
            const qint64 y = index / sheet.width();
            if (index % sheet.width() == x && y >= y0 && y <= y1 && !sheet.painted().at(x, y))
                others.emplace_back(qint32(y), color);
        }
        m_kernel->processColumn(model, x, y0, y1);
        for (const auto &[y, color] : others) {
            sheet.PSet(x, y, color);
            m_rule->processColumn(model, sheet, x, y, y);
        }
    }
    void copyBack(KernelModel &model) override { m_kernel->copyBack(model); }
    void passFailed(KernelModel &model) override {
        if (m_kernel)
            m_kernel->passFailed(model);
    }

private:
    static constexpr size_t kFewOthers = 64;
    const PassEntry &m_pass;
    SettingsSource &m_source;
    PassSettings m_settings;
    std::unique_ptr<PackedOperation> m_kernel;
    // NB's rule with the thresholds of the kernel, for the pixels it skips.
    std::unique_ptr<FixedSettings> m_fixed;
    std::unique_ptr<ColumnOperation> m_rule;
    bool m_perPixel = false;
};

}  // namespace

Session::Session(Module1 &module, SessionView &view) : m_module(module), m_view(view) {}

void Session::load() {
    const QImage picture = LoadPicture(m_module.ImagePath);
    GeoReference geo = readGeoReference(m_module.ImagePath);
    install(picture);
    m_geo = std::move(geo);
}

void Session::install(QImage picture) {
    // The sheet takes the picture's size; masks (0..W, 0..H) are allocated
    // before anything is replaced.
    m_module.load(std::move(picture));
    m_paper.reset();
    m_history.clear();
    if (!m_passRunning)
        m_start.reset();  // sized for the picture replaced
    m_edits = m_savedEdits = 0;
    m_view.pictureReplaced();
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

template <typename Body>
bool Session::recorded(Body &&body) {
    if (m_passRunning || reading())
        return false;
    m_passRunning = true;
    // The pass's starting point, kept to tell afterwards what it changed;
    // without room for it the pass runs unrecorded and the history, which
    // no longer leads to the picture, starts afresh.
    // The copies are kept from one pass to the next, so that a pass does not
    // have the system find fresh memory for them each time.
    bool started = false;
    try {
        if (m_start)
            m_start->retake(m_module);
        else
            m_start.emplace(m_module);
        started = true;
    } catch (const std::bad_alloc &) {
    } catch (const RuntimeError &) {
    }
    if (!started) {
        m_start.reset();
        m_history.clear();
    }
    guarded([&] { m_lastPassOutcome = body(); });
    m_passRunning = false;
    // A picture replaced during the pass has started a new history already.
    if (!m_pictureReplaced)
        ++m_edits;
    if (started && !m_pictureReplaced) {
        try {
            m_history.push(m_start->finish(m_module));
        } catch (const std::bad_alloc &) {
            m_history.clear();
        }
    }
    m_pictureReplaced = false;
    if (m_closePending) {
        m_closePending = false;
        m_view.closeNow();
    }
    return true;
}

bool Session::runPass(ColumnOperation &operation) {
    return recorded([&] { return runColumnPass(m_module, m_module.picture, *this, operation); });
}

bool Session::runPass(const PassEntry &pass) {
    BoxSettings boxes(m_view, m_local ? paper() : nullptr);
    BoxedPass boxed(pass, boxes);
    return recorded([&] { return runColumnPass(m_module, *this, boxed); });
}

std::shared_ptr<const PaperEstimate> Session::paper() {
    if (!m_paper && !loadedPicture().isNull())
        m_paper = std::make_shared<const PaperEstimate>(estimatePaper(loadedPicture()));
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
    changes->apply(m_module, forward);
    ++m_edits;
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
