#pragma once

#include "core/ops/threshold.h"

#include <QtGlobal>

namespace ink {

// taches removes black blobs and fills white holes of at most this many
// pixels unless told otherwise: the size of the dust and pinholes a 300 dpi
// scan shows.
inline constexpr qint32 kDefaultSpeckSize = 4;

// What the passes are set up with: NB's thresholds and taches' speck size.
// Made from thresholds alone, it takes the default speck size.
struct PassSettings {
    Thresholds thresholds;
    qint32 speckSize = kDefaultSpeckSize;

    PassSettings() = default;
    PassSettings(const Thresholds &t, qint32 speck = kDefaultSpeckSize)
        : thresholds(t), speckSize(speck) {}
};

// Where the per-pixel passes take their settings from: NB reads the
// thresholds at each column, taches the speck size once at its start. The
// window reads its boxes (error 13 for a text that is not a number); the
// others hand over fixed settings.
class SettingsSource : public ThresholdSource {
public:
    virtual qint32 speckSize() = 0;
};

class FixedSettings : public SettingsSource {
public:
    explicit FixedSettings(const PassSettings &values) : m_values(values) {}
    Thresholds thresholds() override { return m_values.thresholds; }
    qint32 speckSize() override { return m_values.speckSize; }

private:
    PassSettings m_values;
};

}  // namespace ink
