#include "core/session/pictureread.h"

#include "core/files/loadpicture.h"

#include <QMetaObject>

#include <new>
#include <utility>

namespace ink {

PictureRead::~PictureRead() {
    if (m_worker.joinable())
        m_worker.join();
}

bool PictureRead::start(const QString &path, Done done) {
    if (m_busy)
        return false;
    // The previous worker has handed its outcome over, so it has ended or is
    // about to.
    if (m_worker.joinable())
        m_worker.join();
    m_busy = true;
    m_dropped = false;
    m_worker = std::thread([this, path, done = std::move(done)]() mutable {
        Outcome outcome;
        outcome.path = path;
        try {
            outcome.picture = LoadPicture(path);
            outcome.geo = readGeoReference(path);
        } catch (const RuntimeError &error) {
            outcome.error = error;
        } catch (const std::bad_alloc &) {
            outcome.error = RuntimeError::outOfMemory();
        }
        QMetaObject::invokeMethod(
            &m_receiver,
            [this, done = std::move(done), outcome = std::move(outcome)]() mutable {
                finish(done, outcome);
            },
            Qt::QueuedConnection);
    });
    return true;
}

void PictureRead::finish(Done &done, Outcome &outcome) {
    m_busy = false;
    if (!m_dropped)
        done(outcome);
}

}  // namespace ink
