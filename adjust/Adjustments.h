// Every adjustment a user can set, written once: the window's sliders, the engine's range checks
// and reset, and the batch tool's options and help all read this table. A new adjustment is one
// row here and its stage in the pipeline.
#pragma once

#include <array>
#include <cstdint>

enum class WhiteBalanceMode : int32_t {
    Off = 0,
    Automatic = 1,
    Spot = 2,  // the grey point of a 5 x 5 patch the user picks
};

// The order of the rows, and of the window's slider controls.
enum class AdjustmentId : int32_t {
    Brightness,
    Vividness,
    AddLight,
    SuppressLight,
    BandHue,
    BandVividness,
    BandBrightness,
};

struct AdjustmentSpec {
    AdjustmentId id;
    int32_t minimum;
    int32_t maximum;
    int32_t neutral;
    const char* neutralMeaning;  // what the neutral position does when it is not "no change"
    bool perBand;                // acts on the selected colour band
    // The batch option: --NAME N, or for a per-band row the key of --band COLOR:NAME=N.
    const char* optionName;
    const char* optionHelp;
    // The window's labels left and right of the slider (UTF-8; "" for none) and its tick marks
    // besides the two ends.
    const char* lowLabel;
    const char* highLabel;
    std::array<int32_t, 4> ticks;
    int32_t tickCount;
};

inline constexpr AdjustmentSpec kAdjustments[] = {
    {AdjustmentId::Brightness,
     -45,
     45,
     0,
     nullptr,
     false,
     "brightness",
     nullptr,
     "暗い",
     "明るい",
     {0, 45},
     2},
    {AdjustmentId::Vividness,
     -45,
     45,
     0,
     nullptr,
     false,
     "vividness",
     nullptr,
     "地味",
     "鮮やか",
     {0, 45},
     2},
    {AdjustmentId::AddLight,
     -1,
     100,
     -1,
     "off",
     false,
     "add-light",
     "lift dark tones",
     "ライトを加える",
     "",
     {-1, 0, 50, 100},
     4},
    {AdjustmentId::SuppressLight,
     -1,
     100,
     -1,
     "off",
     false,
     "suppress-light",
     "hold back bright tones",
     "光を抑える",
     "",
     {-1, 0, 50, 100},
     4},
    {AdjustmentId::BandHue,
     -5000,
     5000,
     0,
     nullptr,
     true,
     "hue",
     nullptr,
     "色味を変える",
     "",
     {0, 5000},
     2},
    {AdjustmentId::BandVividness,
     -40,
     40,
     0,
     nullptr,
     true,
     "vivid",
     nullptr,
     "地味",
     "鮮やか",
     {0, 40},
     2},
    {AdjustmentId::BandBrightness,
     -40,
     40,
     0,
     nullptr,
     true,
     "bright",
     nullptr,
     "暗い",
     "明るい",
     {0, 40},
     2},
};

inline constexpr int32_t kAdjustmentCount = static_cast<int32_t>(std::size(kAdjustments));

constexpr const AdjustmentSpec& Adjustment(AdjustmentId id) {
    return kAdjustments[static_cast<int32_t>(id)];
}

constexpr bool InAdjustmentRange(AdjustmentId id, int32_t position) {
    return position >= Adjustment(id).minimum && position <= Adjustment(id).maximum;
}

// Every row's neutral position, indexed by AdjustmentId.
constexpr std::array<int32_t, kAdjustmentCount> NeutralPositions() {
    std::array<int32_t, kAdjustmentCount> positions{};
    for (int32_t i = 0; i < kAdjustmentCount; ++i) positions[i] = kAdjustments[i].neutral;
    return positions;
}

// The colour bands in the order of the band table, as the batch tool names them.
inline constexpr const char* kColorBandNames[] = {"red",  "yellow", "green",
                                                  "cyan", "blue",   "magenta"};

namespace adjustments_detail {
constexpr bool RowsInOrder() {
    for (int32_t i = 0; i < kAdjustmentCount; ++i) {
        if (static_cast<int32_t>(kAdjustments[i].id) != i) return false;
    }
    return true;
}
}  // namespace adjustments_detail
static_assert(adjustments_detail::RowsInOrder(), "rows must follow AdjustmentId");
