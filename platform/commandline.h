#pragma once

#include <QString>
#include <QStringList>

namespace ink {

// The command line as one text: the program's arguments joined by single
// blanks, so a path with blanks works quoted or not.
QString commandLineText(const QStringList &arguments);

// The image path held in a command line: leading and trailing blanks
// (U+0020 only; tabs stay) are removed, then one pair of double quotes when
// the text both starts and ends with one. Blanks and quotes inside stay, and
// the result is not trimmed again. A lone quote has no pair and is kept.
QString imagePathFromCommandLine(const QString &commandLine);

}  // namespace ink
