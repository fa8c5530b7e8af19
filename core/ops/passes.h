#pragma once

#include "core/image/columnpass.h"
#include "core/ops/packedengine.h"
#include "core/ops/passsettings.h"

#include <QAnyStringView>
#include <QLatin1String>
#include <QStringList>

#include <memory>
#include <span>

namespace ink {

// One pass of the program: how the window, the batch tool and the tests know
// it. A new pass is a unit in ops/ and one entry in passRegistry().
struct PassEntry {
    // Which settings the pass reads, and when, as its per-pixel operation
    // reads them: NB its thresholds at each column that has rows, taches its
    // speck size at its start.
    enum class Reads { nothing, thresholdsEachColumn, speckAtStart };

    QLatin1String name;     // as typed in inkmask-batch --steps
    QLatin1String caption;  // its button in the window
    PassRange range;        // where it works
    // Its per-pixel operation, the reference; NB reads its thresholds from
    // `source`, taches its speck size, the other passes read nothing.
    std::unique_ptr<ColumnOperation> (*perPixel)(SettingsSource &source);
    // Its whole-column kernel for the batch tool, with fixed settings; null
    // when it has none.
    std::unique_ptr<PackedOperation> (*packed)(const PassSettings &settings);
    // Whether the batch tool runs it when no --steps are given.
    bool byDefault;
    Reads reads = Reads::nothing;
};

// Every pass, in the order the batch tool lists them and runs them; those
// marked byDefault are its steps when none are given.
std::span<const PassEntry> passRegistry();
// The pass named `name` exactly, or null.
const PassEntry *findPass(QAnyStringView name);
// The names of every pass, in order.
QStringList passNames();

// What both programs run for `pass`: its kernel, or else its per-pixel
// operation, so a kernel is an optimisation, never a requirement.
std::unique_ptr<PackedOperation> packedOperation(const PassEntry &pass,
                                                 const PassSettings &settings);

}  // namespace ink
