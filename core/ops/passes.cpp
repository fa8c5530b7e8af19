#include "core/ops/passes.h"

#include "core/ops/holefill.h"
#include "core/ops/kernels.h"
#include "core/ops/spurremoval.h"
#include "core/ops/threshold.h"

namespace ink {

namespace {

const PassEntry kPasses[] = {
    {QLatin1String("nb"), QLatin1String("NB"), ThresholdPass::kRange,
     [](ThresholdSource &source) -> std::unique_ptr<ColumnOperation> {
         return std::make_unique<ThresholdPass>(source);
     },
     [](const Thresholds &thresholds) -> std::unique_ptr<PackedOperation> {
         return std::make_unique<ThresholdKernel>(thresholds);
     }},
    {QLatin1String("bouchtrou"), QLatin1String("bouchtrou"), HoleFillPass::kRange,
     [](ThresholdSource &) -> std::unique_ptr<ColumnOperation> {
         return std::make_unique<HoleFillPass>();
     },
     [](const Thresholds &) -> std::unique_ptr<PackedOperation> {
         return std::make_unique<HoleFillKernel>();
     }},
    {QLatin1String("affine"), QLatin1String("affine"), SpurRemovalPass::kRange,
     [](ThresholdSource &) -> std::unique_ptr<ColumnOperation> {
         return std::make_unique<SpurRemovalPass>();
     },
     [](const Thresholds &) -> std::unique_ptr<PackedOperation> {
         return std::make_unique<SpurRemovalKernel>();
     }},
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
                                                 const Thresholds &thresholds) {
    if (pass.packed)
        return pass.packed(thresholds);
    return std::make_unique<PerPixelOnPacked>(pass.perPixel, thresholds);
}

}  // namespace ink
