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

// `text` with its control characters written as escapes, so that a file
// named with terminal codes cannot move the cursor or clear the screen when
// a message names it: \t, \n and \r as such, every other C0 character,
// DEL and the C1 characters (U+0080 to U+009F) as \xHH. The rest is kept.
QString escapeControls(const QString &text);

}  // namespace ink
