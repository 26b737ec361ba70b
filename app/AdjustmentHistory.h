// The undo history's steps: each holds what the user had set before and after it, as
// CorrectionSettings, which the unsaved-changes question also compares.
#pragma once

#include <QUndoCommand>

#include <functional>

#include "correct/CorrectionSettings.h"

// One undoable change from one snapshot to another. Pushing it changes nothing, since the
// change has already been made; undo and redo hand the settings to restore.
class AdjustmentStep : public QUndoCommand {
  public:
    AdjustmentStep(CorrectionSettings before, CorrectionSettings after,
                   std::function<void(const CorrectionSettings&)> restore);
    void undo() override;
    void redo() override;

  private:
    CorrectionSettings before;
    CorrectionSettings after;
    std::function<void(const CorrectionSettings&)> restore;
    bool pushed = false;
};
