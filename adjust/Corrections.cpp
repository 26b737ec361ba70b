#include "adjust/Corrections.h"

std::array<std::array<int32_t, kColorBandCount>, kAdjustmentCount> CorrectionSettings::Neutral() {
    std::array<std::array<int32_t, kColorBandCount>, kAdjustmentCount> neutral{};
    for (const AdjustmentSpec& row : kAdjustments)
        neutral[static_cast<size_t>(row.id)].fill(row.neutral);
    return neutral;
}

int32_t CorrectionSettings::Position(AdjustmentId id, int32_t band) const {
    return positions[static_cast<size_t>(id)][Adjustment(id).perBand ? band : 0];
}

void CorrectionSettings::SetPosition(AdjustmentId id, int32_t band, int32_t position) {
    positions[static_cast<size_t>(id)][Adjustment(id).perBand ? band : 0] = position;
}
