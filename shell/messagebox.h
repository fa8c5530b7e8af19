#pragma once

#include "core/runtime/runtimeerror.h"

#include <QString>

#include <functional>

class QWidget;

namespace ink {

// Modal message boxes with one OK button and the application's name as title.
// Tests install a handler to see the text instead of a real box.
class MessageBoxes {
public:
    using Handler = std::function<void(QWidget *parent, const QString &text)>;

    static void show(QWidget *parent, const QString &text);
    // Installs `handler` in place of the real box; an empty handler restores it.
    static void setHandler(Handler handler);

    // A yes/no question; true for yes. The answer defaults to no.
    using QuestionHandler = std::function<bool(QWidget *parent, const QString &text)>;
    static bool ask(QWidget *parent, const QString &text);
    static void setQuestionHandler(QuestionHandler handler);

    // Before work not yet saved would be thrown away: Save, Discard or
    // Cancel, as desktop programs ask. Cancel is the answer to Escape.
    enum class Unsaved { save, discard, cancel };
    using UnsavedHandler = std::function<Unsaved(QWidget *parent, const QString &text)>;
    static Unsaved askUnsaved(QWidget *parent, const QString &text);
    static void setUnsavedHandler(UnsavedHandler handler);
};

// Shows the report of a run-time error that no handler dealt with.
void reportRuntimeError(QWidget *parent, const RuntimeError &error);

}  // namespace ink
