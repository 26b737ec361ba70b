// The corrections of a photo as a plain value, apart from any photo: what the window's controls
// hold, what the batch tool's options give, what a settings file keeps and what an undo step
// restores. Every row of kAdjustments is one value (one per colour band for the band rows), so a
// new row is kept, compared and handed over with no change here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "adjust/Adjustments.h"
#include "adjust/ColorBands.h"
#include "adjust/WhiteBalance.h"
#include "image/ImageTurn.h"

static_assert(std::size(kColorBandNames) == kColorBandCount);

class CorrectionSettings {
  public:
    // The position of row id; band (0..5) only matters for the per-band rows.
    int32_t Position(AdjustmentId id, int32_t band = 0) const;
    // Sets the position of row id (for a per-band row, of that band; for the others band is
    // ignored). The caller keeps position within the row's range.
    void SetPosition(AdjustmentId id, int32_t band, int32_t position);

    bool operator==(const CorrectionSettings&) const = default;

    WhiteBalanceMode wbMode = WhiteBalanceMode::Off;
    // The grey point of the last spot pick, as measured: applied to another photo it makes the
    // same colour neutral. Kept in every mode, as the window keeps the spot balance while
    // automatic or off is chosen.
    std::optional<GreyPoint> spotGreyPoint;
    // How the photo stands: the photo as loaded (upright by its orientation tag) is turned so
    // before every other correction, which then sees and measures it turned.
    ImageTurn turn;

  private:
    static std::array<std::array<int32_t, kColorBandCount>, kAdjustmentCount> Neutral();

    // [row][band]; the rows that act on the whole photo use band 0 only.
    std::array<std::array<int32_t, kColorBandCount>, kAdjustmentCount> positions = Neutral();
};
