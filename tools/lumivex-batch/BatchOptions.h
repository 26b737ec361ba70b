// Command line of lumivex-batch: the same settings the window's controls give, as options.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "correct/CorrectPhotoFile.h"
#include "imageio/PhotoFile.h"
#include "imageio/PhotoSaver.h"

// As INPUT the photo on standard input, as OUTPUT standard output.
inline constexpr const char* kStandardStream = "-";

struct BatchOptions {
    // Neutral, or what the --settings file holds, changed by every correction option after it.
    CorrectionSettings settings;
    // --wb spot:X,Y: the spot grey point is measured on each photo around this pixel.
    std::optional<SpotPixel> spotPixel;
    // What reading the --settings file had to say about keys it ignored.
    SettingsWarnings settingsWarnings;
    bool printSettings = false;
    // Photos with more pixels are refused from their header.
    int maxMegapixels = static_cast<int>(kDefaultMaxPhotoPixels / 1'000'000);
    // --depth, --strip-metadata and --quality.
    SaveOptions save;
    std::string outDir;
    // --name: each output's name under --out-dir, with {stem}, {ext} and {n} filled in.
    std::string namePattern = "{stem}";
    bool recursive = false;     // a folder INPUT takes the photos of its subfolders too
    bool skipExisting = false;  // a photo whose output is there is left alone
    // An output under --out-dir that is there already is replaced; otherwise its photo is refused,
    // as the names there are made, not chosen, and may be anyone's photo.
    bool overwrite = false;
    bool allowDamaged = false;  // a photo cut short is saved with a warning rather than refused
    std::string format = "jpg";
    bool formatSet = false;
    // --jobs: photos corrected at once; 0 lets the memory and the processors decide.
    unsigned jobs = 0;
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
