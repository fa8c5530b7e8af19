#include "platform/commandline.h"
#include "platform/stdstreams.h"
#include "shell/form1.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    ink::reopenClosedStandardStreams();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("inkmask"));
    QApplication::setApplicationVersion(QStringLiteral(INKMASK_VERSION));

    ink::Module1 module;
    ink::Form1 form(module);
    if (!form.Form_Load(ink::commandLineText(app.arguments().mid(1))))
        return 1;
    return app.exec();
}
