// What the user has set, as one comparable value: every slider's position (each band's own),
// the white-balance mode and the picked spot's grey point. The undo history holds pairs of
// them, and the unsaved-changes question compares them.
#pragma once

#include <QUndoCommand>

#include <array>
#include <functional>
#include <optional>

#include "adjust/Pipeline.h"
#include "adjust/WhiteBalance.h"

struct AdjustmentSnapshot {
    // Rows that do not act per band keep their position in every column.
    std::array<std::array<int32_t, kColorBandCount>, kAdjustmentCount> positions{};
    WhiteBalanceMode wbMode = WhiteBalanceMode::Off;
    std::optional<GreyPoint> spot;
    bool operator==(const AdjustmentSnapshot&) const = default;
};

AdjustmentSnapshot CaptureAdjustments(AdjustmentState& state);

// Brings state to the snapshot, rebuilding only the tables and the spot balance that differ, and
// leaves needsApply set for a full-resolution pass. selectedBand stays.
void RestoreAdjustments(AdjustmentState& state, const AdjustmentSnapshot& snapshot);

// One undoable change from one snapshot to another. Pushing it changes nothing, since the
// change has already been made; undo and redo hand the snapshot to restore.
class AdjustmentStep : public QUndoCommand {
  public:
    AdjustmentStep(AdjustmentSnapshot before, AdjustmentSnapshot after,
                   std::function<void(const AdjustmentSnapshot&)> restore);
    void undo() override;
    void redo() override;

  private:
    AdjustmentSnapshot before;
    AdjustmentSnapshot after;
    std::function<void(const AdjustmentSnapshot&)> restore;
    bool pushed = false;
};
