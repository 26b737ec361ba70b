#include "app/AdjustmentHistory.h"

#include <utility>

namespace {

// Calls f(row, band) for every position a snapshot holds, with state.selectedBand set to the
// band while f runs.
template <typename F>
void ForEachPosition(AdjustmentState& state, F f) {
    const int32_t selected = state.selectedBand;
    for (const AdjustmentSpec& row : kAdjustments) {
        for (int32_t band = 0; band < (row.perBand ? kColorBandCount : 1); ++band) {
            state.selectedBand = band;
            f(row, band);
        }
    }
    state.selectedBand = selected;
}

}  // namespace

AdjustmentSnapshot CaptureAdjustments(AdjustmentState& state) {
    AdjustmentSnapshot snapshot;
    ForEachPosition(state, [&](const AdjustmentSpec& row, int32_t band) {
        auto& positions = snapshot.positions[static_cast<int32_t>(row.id)];
        if (row.perBand) {
            positions[band] = state.AdjustmentPosition(row.id);
        } else {
            positions.fill(state.AdjustmentPosition(row.id));
        }
    });
    snapshot.wbMode = state.wbMode;
    snapshot.spot = state.spotGreyPoint;
    return snapshot;
}

void RestoreAdjustments(AdjustmentState& state, const AdjustmentSnapshot& snapshot) {
    ForEachPosition(state, [&](const AdjustmentSpec& row, int32_t band) {
        const int32_t position = snapshot.positions[static_cast<int32_t>(row.id)][band];
        if (state.AdjustmentPosition(row.id) != position)
            state.OnAdjustmentChanged(row.id, 1, position);
    });
    state.wbMode = snapshot.wbMode;
    if (state.spotGreyPoint != snapshot.spot) state.SetSpotGreyPoint(snapshot.spot);
    state.needsApply = 1;
    state.useProxy = 0;
}

AdjustmentStep::AdjustmentStep(AdjustmentSnapshot before, AdjustmentSnapshot after,
                               std::function<void(const AdjustmentSnapshot&)> restore)
    : before(std::move(before)), after(std::move(after)), restore(std::move(restore)) {}

void AdjustmentStep::undo() {
    restore(before);
}

void AdjustmentStep::redo() {
    if (pushed) restore(after);
    pushed = true;
}
