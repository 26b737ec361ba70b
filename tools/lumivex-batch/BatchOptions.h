// Command line of lumivex-batch: the same settings the window's controls give, as options.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "adjust/Adjustments.h"
#include "adjust/ColorBands.h"

struct BatchOptions {
    WhiteBalanceMode wbMode = WhiteBalanceMode::Off;
    int spotX = 0;
    int spotY = 0;
    // Indexed by AdjustmentId: the position of each slider that acts on the whole photo (the
    // per-band entries stay unused), neutral unless an option set it.
    std::array<int32_t, kAdjustmentCount> positions = NeutralPositions();
    // Per colour band, in the order of kColorBandNames: the positions the --band options gave.
    std::array<std::array<std::optional<int32_t>, kAdjustmentCount>, kColorBandCount> bands{};
    std::string outDir;
    std::string format = "jpg";
    bool formatSet = false;
    bool quiet = false;
    bool timings = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> inputs;
    std::string output;  // the single-output form only
};

// Parses argv[1..argc-1]. On an error returns nullopt and puts a one-line message naming the
// option (and its range where it has one) into error.
std::optional<BatchOptions> ParseBatchOptions(int argc, const char* const* argv,
                                              std::string& error);

// The help text: every option and an example.
std::string BatchUsage();
