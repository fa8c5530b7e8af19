#pragma once

// The end-of-column step of a benchmark: nothing shown, never cancelled, so
// that only the pass itself is timed.

#include "core/image/columnpass.h"

class QuietStep : public ink::ColumnStep {
public:
    void refreshPicture(qint32) override {}
    void setProgress(const QString &) override {}
    void refreshWindow() override {}
    void doEvents() override {}
    int cancelValue() override { return 0; }
    void setCancelValue(int) override {}
};
