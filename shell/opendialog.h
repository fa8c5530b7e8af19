#pragma once

#include <QString>

#include <functional>

class QWidget;

namespace ink {

// The file dialog of Open. Tests install a chooser that returns the path a
// user would have picked, so that everything after the choice runs for real.
class OpenDialog {
public:
    // Gets the parent and the folder to start in; returns the chosen file's
    // path, or an empty string when the user cancels.
    using Chooser = std::function<QString(QWidget *parent, const QString &folder)>;

    static QString choose(QWidget *parent, const QString &folder);
    // Installs `chooser` in place of the real dialog; an empty one restores it.
    static void setChooser(Chooser chooser);
};

}  // namespace ink
