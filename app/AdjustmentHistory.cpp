#include "app/AdjustmentHistory.h"

#include <utility>

AdjustmentStep::AdjustmentStep(CorrectionSettings before, CorrectionSettings after,
                               std::function<void(const CorrectionSettings&)> restore)
    : before(std::move(before)), after(std::move(after)), restore(std::move(restore)) {}

void AdjustmentStep::undo() {
    restore(before);
}

void AdjustmentStep::redo() {
    if (pushed) restore(after);
    pushed = true;
}
