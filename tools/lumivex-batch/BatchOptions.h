// Command line of lumivex-batch: the same settings the window's controls give, as options.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

struct BandSetting {
    int hue = 0;     // -5000..5000
    int vivid = 0;   // -40..40
    int bright = 0;  // -40..40
    bool hueSet = false;
    bool vividSet = false;
    bool brightSet = false;
};

struct BatchOptions {
    int wbMode = 0;  // 0 off, 1 automatic, 2 spot
    int spotX = 0;
    int spotY = 0;
    int brightness = 0;
    int vividness = 0;
    int addLight = -1;
    int suppressLight = -1;
    // Indexed like the window's band buttons: red, yellow, green, cyan, blue, magenta.
    std::array<BandSetting, 6> bands{};
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
