#pragma once

// What the window's Save writes, without any widget: the choices its dialog
// offers (the mask or the painted picture, in each format that can hold it),
// the name it proposes, the file a choice ends up in, when Save must wait,
// and the write itself through the atomic writer.

#include "core/files/imagefiles.h"
#include "core/image/module1.h"

#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

namespace ink {

// One entry of the dialog's list of file types: what is written and how.
struct SaveChoice {
    ImageContent content = ImageContent::Mask;
    const OutputFormat *format = nullptr;
    // As the dialog shows it: "Mask, PNG (*.png)".
    QString filter;
};

// Every choice, the masks first and the first of them (a PNG mask) the
// default: each format of the writer's table that can hold the mask, then
// each that can hold the picture.
const QList<SaveChoice> &saveChoices();
QStringList saveFilters();
// The choice whose filter text is `filter`, or null.
const SaveChoice *saveChoiceFor(const QString &filter);

// The name Save proposes for the scan at `imagePath`: its base name with
// "-mask" or "-painted" and the choice's first extension, in its folder
// ("plans/scan.jpg" gives "plans/scan-mask.png" for a PNG mask).
QString defaultSaveName(const QString &imagePath, const SaveChoice &choice = saveChoices().first());

// The name the dialog shows once its type becomes `choice` with `name` typed:
// a name Save proposed for the scan, for any choice, becomes the one it
// proposes for this one, in the same folder; another name with the
// extension of a format the choice is not in gets the choice's; any other
// name stays as it is (Save adds the extension).
QString renamedForChoice(const QString &name, const QString &imagePath, const SaveChoice &choice);

// Where a name typed in the dialog with `chosen` as its type is written, and
// how, or why it cannot be.
struct SaveTarget {
    QString path;
    const SaveChoice *choice = nullptr;
    // The message to show, then the dialog again; empty when it can be saved.
    QString refusal;
};
// An extension of a format that holds the chosen content picks that format
// ("a.tif" typed with a PNG picture chosen writes a TIFF picture "a.tif"); one
// of a format that cannot hold it is refused, naming the extensions that can;
// with no such extension the chosen format's first one is added, so that what
// is written is what the list said.
SaveTarget saveTarget(const QString &typed, const SaveChoice &chosen);

// Whether two names reach the same file: the same name once every symbolic
// link is followed and "." and ".." are taken, or the same file on disk (a
// hard link, a folder reached another way).
bool sameFile(const QString &a, const QString &b);

// Why Save cannot go ahead now, or empty when it can: a pass is running (its
// `Mask` is only complete once it has copied back), or there is no picture.
QString saveRefusal(bool passRunning, const QImage &picture);

// The question Save asks before writing onto the scan being worked on.
QString replaceScanQuestion(const QString &path, ImageContent content);

// The question Save asks before replacing a file the dialog did not ask
// about: one named by the extension saveTarget() added.
QString replaceFileQuestion(const QString &path, ImageContent content);

// Why Save may not write `path`, as the message to show, or empty when it
// may: the batch tool's checks of an output (what is there is not a regular
// file, or is write-protected; its folder is missing or cannot be written).
QString saveProblem(const QString &path);

// Writes `content` of the session to `path`: the mask as a 1-bit picture of
// the picture's size (black = ink, cells 0..width-1 and 0..height-1 of
// `Mask`), or the painted picture, both with the picture's resolution and
// the scan's georeferencing `geo` (its GeoTIFF tags in a TIFF file, a world
// file beside the file, written together or not at all). Nothing in memory
// changes. On failure returns false with the message to
// show in `message`: the file's name and the writer's reason.
bool saveImage(const Module1 &module, ImageContent content, const QString &path, QString *message,
               const GeoReference &geo = {});

}  // namespace ink
