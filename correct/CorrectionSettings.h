// The corrections of a photo as plain values, apart from any photo: what the window's controls
// hold, what the batch tool's options give, and what a .lumivex settings file keeps. Every row
// of kAdjustments is one value (one per colour band for the band rows), so a new row is kept,
// applied, read and written with no change here. The file format is described in
// docs/settings-file.md.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "adjust/Adjustments.h"
#include "adjust/ColorBands.h"
#include "adjust/Pipeline.h"

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

  private:
    static std::array<std::array<int32_t, kColorBandCount>, kAdjustmentCount> Neutral();

    // [row][band]; the rows that act on the whole photo use band 0 only.
    std::array<std::array<int32_t, kColorBandCount>, kAdjustmentCount> positions = Neutral();
};

// The settings state holds now.
CorrectionSettings CaptureSettings(const AdjustmentState& state);

// Gives state these settings as if the user had set and released every control whose position
// differs, chosen the white-balance mode and picked the spot grey point. selectedBand is kept.
// Sets needsApply for a full-resolution pass.
void ApplySettings(const CorrectionSettings& settings, AdjustmentState& state);

// "off", "auto", "spot": the names the file and the batch tool's --wb use.
std::string_view WhiteBalanceModeName(WhiteBalanceMode mode);
std::optional<WhiteBalanceMode> WhiteBalanceModeFromName(std::string_view name);

// The version this program writes. Files of a later version are read; keys this version does
// not know are ignored with a warning.
constexpr int32_t kSettingsVersion = 1;
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
