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
    const char* neutralMeaning = nullptr;  // what the neutral position does, unless "no change"
    bool perBand = false;                  // acts on the selected colour band
    // The batch option: --NAME N, or for a per-band row the key of --band COLOR:NAME=N.
    const char* optionName;
    const char* optionHelp = nullptr;
    // The window's labels left and right of the slider (UTF-8; "" for none) and the tick marks
    // it sets on the slider.
    const char* lowLabel;
    const char* highLabel = "";
    std::array<int32_t, 4> ticks;
    int32_t tickCount;
};

inline constexpr AdjustmentSpec kAdjustments[] = {
    {
        .id = AdjustmentId::Brightness,
        .minimum = -45,
        .maximum = 45,
        .neutral = 0,
        .optionName = "brightness",
        .optionHelp = "darker to brighter",
        .lowLabel = "暗い",
        .highLabel = "明るい",
        .ticks = {0, 45},
        .tickCount = 2,
    },
    {
        .id = AdjustmentId::Vividness,
        .minimum = -45,
        .maximum = 45,
        .neutral = 0,
        .optionName = "vividness",
        .optionHelp = "duller to more vivid",
        .lowLabel = "地味",
        .highLabel = "鮮やか",
        .ticks = {0, 45},
        .tickCount = 2,
    },
    {
        .id = AdjustmentId::AddLight,
        .minimum = -1,
        .maximum = 100,
        .neutral = -1,
        .neutralMeaning = "off",
        .optionName = "add-light",
        .optionHelp = "lift dark tones",
        .lowLabel = "ライトを加える",
        .ticks = {-1, 0, 50, 100},
        .tickCount = 4,
    },
    {
        .id = AdjustmentId::SuppressLight,
        .minimum = -1,
        .maximum = 100,
        .neutral = -1,
        .neutralMeaning = "off",
        .optionName = "suppress-light",
        .optionHelp = "hold back bright tones",
        .lowLabel = "光を抑える",
        .ticks = {-1, 0, 50, 100},
        .tickCount = 4,
    },
    {
        .id = AdjustmentId::BandHue,
        .minimum = -5000,
        .maximum = 5000,
        .neutral = 0,
        .perBand = true,
        .optionName = "hue",
        .lowLabel = "色味を変える",
        .ticks = {0, 5000},
        .tickCount = 2,
    },
    {
        .id = AdjustmentId::BandVividness,
        .minimum = -40,
        .maximum = 40,
        .neutral = 0,
        .perBand = true,
        .optionName = "vivid",
        .lowLabel = "地味",
        .highLabel = "鮮やか",
        .ticks = {0, 40},
        .tickCount = 2,
    },
    {
        .id = AdjustmentId::BandBrightness,
        .minimum = -40,
        .maximum = 40,
        .neutral = 0,
        .perBand = true,
        .optionName = "bright",
        .lowLabel = "暗い",
        .highLabel = "明るい",
        .ticks = {0, 40},
        .tickCount = 2,
    },
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
