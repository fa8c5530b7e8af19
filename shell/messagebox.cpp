#include "shell/messagebox.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace ink {

namespace {
MessageBoxes::Handler &installedHandler() {
    static MessageBoxes::Handler handler;
    return handler;
}
}  // namespace

void MessageBoxes::show(QWidget *parent, const QString &text) {
    if (installedHandler()) {
        installedHandler()(parent, text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QCoreApplication::applicationName(), text, QMessageBox::Ok,
                    parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void MessageBoxes::setHandler(Handler handler) {
    installedHandler() = std::move(handler);
}

void reportRuntimeError(QWidget *parent, const RuntimeError &error) {
    MessageBoxes::show(parent, error.reportText());
}

}  // namespace ink
