// libFuzzer target for the settings file: any text is read or refused with a cause, and what is
// read is written back and read again as the same settings, with nothing unknown in it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "correct/CorrectionSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SettingsWarnings warnings;
    SettingsError error;
    const std::optional<CorrectionSettings> settings = SettingsFromText(
        std::string_view(reinterpret_cast<const char*>(data), size), warnings, error);
    if (!settings) {
        if (SettingsErrorText(error).empty()) __builtin_trap();
        return 0;
    }
    SettingsWarnings again;
    const std::optional<CorrectionSettings> reread =
        SettingsFromText(SettingsToText(*settings), again, error);
    if (!reread || !(*reread == *settings) || again.newerVersion != 0 || !again.unknownKeys.empty())
        __builtin_trap();
    return 0;
}
