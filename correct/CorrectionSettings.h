// The corrections as a .lumivex settings file: every row of kAdjustments is one value (one per
// colour band for the band rows), so a new row is read and written with no change here. The file
// format is described in docs/settings-file.md.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adjust/Adjustments.h"
#include "adjust/Corrections.h"
#include "imageio/PhotoFile.h"

// "off", "auto", "spot": the names the file and the batch tool's --wb use.
std::string_view WhiteBalanceModeName(WhiteBalanceMode mode);
std::optional<WhiteBalanceMode> WhiteBalanceModeFromName(std::string_view name);

// The turns the file's geometry.rotate and the batch tool's --rotate name, in degrees clockwise:
// the quarter turns of degrees, or nullopt for any other angle; and the angles, for messages.
std::optional<int32_t> QuarterTurnsOf(double degrees);
inline constexpr const char* kRotateAngles = "0, 90, 180 or 270 (degrees clockwise)";

// The version this program writes. Files of a later version are read; keys this version does
// not know are ignored with a warning.
constexpr int32_t kSettingsVersion = 2;
// The extension of settings files, without the dot.
constexpr std::string_view kSettingsExtension = "lumivex";

// Why a settings file was not read or written. The window and the batch tool each put it in
// their own words.
enum class SettingsFailure {
    None,
    File,                 // the file could not be opened, read or written: file says why
    TooLarge,             // larger than any settings file
    NotJson,              // the text is not JSON; at is the byte where it stops being JSON
    NotAnObject,          // the text is JSON but not an object
    WrongFormat,          // "format" is not "lumivex-settings"
    DuplicateKey,         // key appears twice in one object
    BadVersion,           // must be a whole number from 1
    NotObject,            // key's value must be an object
    OutOfRange,           // must be a whole number from minimum to maximum
    BadWhiteBalanceMode,  // must be off, auto or spot
    BadGreyPoint,         // must be three numbers from 0 to 1
    BadRotate,            // must be one of kRotateAngles
    BadFlip,              // must be true or false
};

struct SettingsError {
    SettingsFailure failure = SettingsFailure::None;
    std::string key;  // the path of the key at fault: "bands.blue.hue"
    int32_t minimum = 0, maximum = 0;
    int64_t at = 0;
    PhotoError file;
};

// The error in English, beginning with the key's path where one is at fault:
// "adjustments.brightness: must be a whole number from -45 to 45".
std::string SettingsErrorText(const SettingsError& error);

// What a file that was read holds beyond what this version reads; its values are ignored.
struct SettingsWarnings {
    int64_t newerVersion = 0;              // the file's version, when later than this program's
    std::vector<std::string> unknownKeys;  // the paths of keys this version does not know
};

// The warnings in English, one line each.
std::vector<std::string> SettingsWarningLines(const SettingsWarnings& warnings);

// The text of a settings file (UTF-8 JSON).
std::string SettingsToText(const CorrectionSettings& settings);

// Reads the text of a settings file. A key missing from it keeps its neutral value; a key it does
// not know is listed in warnings. A malformed text, a key given twice, or a value of the wrong
// kind or out of range gives nullopt and error.
std::optional<CorrectionSettings> SettingsFromText(std::string_view text,
                                                   SettingsWarnings& warnings,
                                                   SettingsError& error);

// The same for the file at path (bytes as the file system holds them), opened once and read only
// when it is a regular file.
std::optional<CorrectionSettings> ReadSettingsFile(const std::string& path,
                                                   SettingsWarnings& warnings,
                                                   SettingsError& error);

// Writes the file at path, through a link to a regular file, replacing it only once it is written
// completely. Returns false with error.
bool WriteSettingsFile(const std::string& path, const CorrectionSettings& settings,
                       SettingsError& error);
