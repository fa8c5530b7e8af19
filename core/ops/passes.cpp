#include "core/ops/passes.h"

#include "core/ops/despeckle.h"
#include "core/ops/holefill.h"
#include "core/ops/kernels.h"
#include "core/ops/spurremoval.h"
#include "core/ops/threshold.h"

namespace ink {

namespace {

const PassEntry kPasses[] = {
    {QLatin1String("nb"), QLatin1String("NB"), ThresholdPass::kRange,
     [](SettingsSource &source) -> std::unique_ptr<ColumnOperation> {
         return std::make_unique<ThresholdPass>(source);
     },
     [](const PassSettings &settings) -> std::unique_ptr<PackedOperation> {
         return std::make_unique<ThresholdKernel>(settings.thresholds);
     },
     true, PassEntry::Reads::thresholdsEachColumn},
    {QLatin1String("bouchtrou"), QLatin1String("bouchtrou"), HoleFillPass::kRange,
     [](SettingsSource &) -> std::unique_ptr<ColumnOperation> {
         return std::make_unique<HoleFillPass>();
     },
     [](const PassSettings &) -> std::unique_ptr<PackedOperation> {
         return std::make_unique<HoleFillKernel>();
     },
     true},
    {QLatin1String("affine"), QLatin1String("affine"), SpurRemovalPass::kRange,
     [](SettingsSource &) -> std::unique_ptr<ColumnOperation> {
         return std::make_unique<SpurRemovalPass>();
     },
     [](const PassSettings &) -> std::unique_ptr<PackedOperation> {
         return std::make_unique<SpurRemovalKernel>();
     },
     false},
    {QLatin1String("taches"), QLatin1String("taches"), DespecklePass::kRange,
     [](SettingsSource &source) -> std::unique_ptr<ColumnOperation> {
         return std::make_unique<DespecklePass>(source);
     },
     [](const PassSettings &settings) -> std::unique_ptr<PackedOperation> {
         return std::make_unique<DespeckleKernel>(settings.speckSize);
     },
     true, PassEntry::Reads::speckAtStart},
};

}  // namespace

std::span<const PassEntry> passRegistry() {
    return kPasses;
}

const PassEntry *findPass(QAnyStringView name) {
    for (const PassEntry &pass : kPasses) {
        if (QAnyStringView::equal(name, pass.name))
            return &pass;
    }
    return nullptr;
}

QStringList passNames() {
    QStringList names;
    for (const PassEntry &pass : kPasses)
        names << pass.name;
    return names;
}

std::unique_ptr<PackedOperation> packedOperation(const PassEntry &pass,
                                                 const PassSettings &settings) {
    if (pass.packed)
        return pass.packed(settings);
    return std::make_unique<PerPixelOperation>(pass.perPixel, settings);
}

}  // namespace ink
