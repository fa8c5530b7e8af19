#include "shell/messagebox.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace ink {

namespace {
MessageBoxes::Handler &installedHandler() {
    static MessageBoxes::Handler handler;
    return handler;
}
MessageBoxes::QuestionHandler &installedQuestionHandler() {
    static MessageBoxes::QuestionHandler handler;
    return handler;
}
MessageBoxes::UnsavedHandler &installedUnsavedHandler() {
    static MessageBoxes::UnsavedHandler handler;
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

bool MessageBoxes::ask(QWidget *parent, const QString &text) {
    if (installedQuestionHandler())
        return installedQuestionHandler()(parent, text);
    QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), text,
                    QMessageBox::Yes | QMessageBox::No, parent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void MessageBoxes::setQuestionHandler(QuestionHandler handler) {
    installedQuestionHandler() = std::move(handler);
}

MessageBoxes::Unsaved MessageBoxes::askUnsaved(QWidget *parent, const QString &text) {
    if (installedUnsavedHandler())
        return installedUnsavedHandler()(parent, text);
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), text,
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, parent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
        case QMessageBox::Save:
            return Unsaved::save;
        case QMessageBox::Discard:
            return Unsaved::discard;
        default:
            return Unsaved::cancel;
    }
}

void MessageBoxes::setUnsavedHandler(UnsavedHandler handler) {
    installedUnsavedHandler() = std::move(handler);
}

void reportRuntimeError(QWidget *parent, const RuntimeError &error) {
    MessageBoxes::show(parent, error.reportText());
}

}  // namespace ink
