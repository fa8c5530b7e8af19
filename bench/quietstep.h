#pragma once

// The end-of-column step of a benchmark: nothing shown, never cancelled, so
// that only the pass itself is timed. `Step` is the step's interface, or one
// built on it (a session's view).

#include "core/image/columnpass.h"

template <class Step = ink::ColumnStep>
class QuietStepOf : public Step {
public:
    void refreshPicture(qint32) override {}
    void setProgress(const QString &) override {}
    void refreshWindow() override {}
    void doEvents() override {}
    int cancelValue() override { return 0; }
    void setCancelValue(int) override {}
    bool quiet() const override { return true; }
};

using QuietStep = QuietStepOf<>;
