#pragma once

#include "core/files/georef.h"
#include "core/runtime/runtimeerror.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <thread>

namespace ink {

// Reads one picture file at a time with LoadPicture on a worker thread, so
// that the thread which asked (the window's) keeps drawing and answering
// while a large sheet is decoded. The outcome is handed back through that
// thread's event loop, never called from the worker.
class PictureRead {
public:
    struct Outcome {
        QString path;
        QImage picture;
        GeoReference geo;                   // read with the picture, for Save
        std::optional<RuntimeError> error;  // set when the file could not be read
    };
    using Done = std::function<void(Outcome &outcome)>;

    PictureRead() = default;
    PictureRead(const PictureRead &) = delete;
    PictureRead &operator=(const PictureRead &) = delete;
    // Waits for a read in flight to end; its outcome is dropped.
    ~PictureRead();

    // Starts reading `path`; `done` gets the outcome from the event loop of
    // the calling thread. Refused (false) while another read is in flight.
    bool start(const QString &path, Done done);
    // From start() until the outcome has been handed over (or dropped).
    bool busy() const { return m_busy; }
    // The read in flight ends unseen: its `done` is not called.
    void drop() { m_dropped = true; }

private:
    void finish(Done &done, Outcome &outcome);

    std::thread m_worker;
    // Lives on the calling thread and receives the outcome; destroying it
    // discards an outcome posted but not yet delivered.
    QObject m_receiver;
    bool m_busy = false;
    bool m_dropped = false;
};

}  // namespace ink
