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

// The text of a settings file (UTF-8 JSON).
std::string SettingsToText(const CorrectionSettings& settings);

// Reads the text of a settings file. A key missing from it keeps its neutral value; each key it
// does not know adds a line to warnings. A malformed text, or a value of the wrong kind or out
// of range, gives nullopt and an error that begins with the key's name.
std::optional<CorrectionSettings> SettingsFromText(std::string_view text,
                                                   std::vector<std::string>& warnings,
                                                   std::string& error);

// The same for the file at path; error also says when the file cannot be read.
std::optional<CorrectionSettings> ReadSettingsFile(const std::string& path,
                                                   std::vector<std::string>& warnings,
                                                   std::string& error);

// Writes the file at path, replacing it only once it is written completely. Returns false with
// the reason in error.
bool WriteSettingsFile(const std::string& path, const CorrectionSettings& settings,
                       std::string& error);
