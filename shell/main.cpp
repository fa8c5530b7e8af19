#include "core/runtime/commandline.h"
#include "core/runtime/stdstreams.h"
#include "shell/form1.h"
#include "shell/messagebox.h"

#include <QApplication>
#include <QWindow>

#include <cstdio>

namespace {

void printLine(const QString &text) {
    std::fputs((text + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

// With INKMASK_STARTUP_CHECK set, the program shows its start-up on standard
// output and ends there, so tests can run the real program headless: the
// failure message in place of its box, or the caption shown, the picture's
// size and the layout direction.
bool startupCheck() {
    return qEnvironmentVariableIsSet("INKMASK_STARTUP_CHECK");
}

void reportStartup(ink::Form1 &form) {
    const QWindow *window = form.windowHandle();
    printLine(QStringLiteral("caption: ") + (window ? window->title() : QString()));
    printLine(QStringLiteral("picture: %1x%2")
                  .arg(qint64(form.session().picture().Width()))
                  .arg(qint64(form.session().picture().Height())));
    printLine(QStringLiteral("direction: ") + (QGuiApplication::isRightToLeft()
                                                   ? QStringLiteral("right-to-left")
                                                   : QStringLiteral("left-to-right")));
}

}  // namespace

int main(int argc, char *argv[]) {
    ink::reopenClosedStandardStreams();
    // The whole command line is the image path. Qt gets none of it, so that a
    // path such as "-reverse" or "-style x.png" is not taken for one of its
    // own options; and its bytes are read here, before Qt would replace what
    // is not UTF-8.
    const ink::CommandLine commandLine = ink::commandLineFromArgv(argc, argv);
    static char programName[] = "inkmask";
    int qtArgc = 1;
    char *qtArgv[] = {argc > 0 && argv[0] ? argv[0] : programName, nullptr};
    QApplication app(qtArgc, qtArgv);
    QApplication::setApplicationName(QStringLiteral("inkmask"));
    QApplication::setApplicationVersion(QStringLiteral(INKMASK_VERSION));

    const bool check = startupCheck();
    if (check)
        ink::MessageBoxes::setHandler([](QWidget *, const QString &text) { printLine(text); });

    ink::Module1 module;
    ink::Form1 form(module);
    // A window closed while its picture was still being read ends the
    // program quietly; a picture that could not be read is a failure.
    if (!form.Form_Load(commandLine))
        return form.isVisible() ? 1 : 0;
    if (check) {
        reportStartup(form);
        return 0;
    }
    return app.exec();
}
