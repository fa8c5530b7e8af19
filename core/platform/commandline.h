#pragma once

#include <QString>
#include <QStringList>

namespace ink {

// The command line as one text: the program's arguments joined by single
// blanks, so a path with blanks works quoted or not.
QString commandLineText(const QStringList &arguments);

// The command line as the program received it.
struct CommandLine {
    QString text;
    // False when its bytes are not valid UTF-8. `text` then has replacement
    // characters in their place and names no file that can be opened.
    bool validUtf8 = true;
};

// The command line from main()'s arguments: the bytes of argv[1] on, joined by
// single blanks and read as UTF-8 (a leading byte order mark is kept as a
// character of the name). argv[0], the program, is not part of it.
CommandLine commandLineFromArgv(int argc, const char *const *argv);

// The image path held in a command line: leading and trailing blanks
// (U+0020 only; tabs stay) are removed, then one pair of double quotes when
// the text both starts and ends with one. Blanks and quotes inside stay, and
// the result is not trimmed again. A lone quote has no pair and is kept.
QString imagePathFromCommandLine(const QString &commandLine);

}  // namespace ink
