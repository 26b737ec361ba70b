// The program's resources: numbers of its dialogs, controls, commands, icon, bitmaps and
// strings; the two dialog templates and the menu; loaders for what is compiled in.
#pragma once

#include <QIcon>
#include <QPixmap>

#include <cstdint>
#include <string>

#include "app/WindowServices.h"
#include "app/display/DisplayColour.h"
#include "correct/CorrectPhotoFile.h"
#include "correct/CorrectionSettings.h"
#include "imageio/PhotoFile.h"

// Strings.
inline constexpr int32_t kAboutMenuString = 101;

// Band button bitmaps.
inline constexpr int32_t kBitmapRed = 131;
inline constexpr int32_t kBitmapGreen = 135;
inline constexpr int32_t kBitmapBlue = 136;
inline constexpr int32_t kBitmapCyan = 137;
inline constexpr int32_t kBitmapMagenta = 138;
inline constexpr int32_t kBitmapYellow = 12324;

// Commands and controls.
inline constexpr int32_t kIdOk = 1;
inline constexpr int32_t kIdCancel = 2;
inline constexpr int32_t kIdOpenPhoto = 1001;
inline constexpr int32_t kIdSavePhoto = 1002;
inline constexpr int32_t kIdBrightnessSlider = 1003;
inline constexpr int32_t kIdVividnessSlider = 1004;
inline constexpr int32_t kIdAddLightSlider = 1005;
inline constexpr int32_t kIdSuppressLightSlider = 1006;
inline constexpr int32_t kIdBandHueSlider = 1007;
inline constexpr int32_t kIdBandVividnessSlider = 1008;
inline constexpr int32_t kIdBandBrightnessSlider = 1009;
inline constexpr int32_t kIdBandRed = 1010;  // 1010 + band, band 0..5
inline constexpr int32_t kIdPreviewFrame = 1016;
inline constexpr int32_t kIdReset = 1018;
inline constexpr int32_t kIdWbOff = 1024;
inline constexpr int32_t kIdWbAuto = 1025;
inline constexpr int32_t kIdWbSpot = 1026;
inline constexpr int32_t kIdAbout = 32772;
inline constexpr int32_t kIdShowOriginal = 32773;
inline constexpr int32_t kIdHistogram = 32774;
inline constexpr int32_t kIdExportSettings = 32775;
inline constexpr int32_t kIdImportSettings = 32776;
inline constexpr int32_t kIdApplyToMany = 32777;
inline constexpr int32_t kIdZoomFit = 32778;
inline constexpr int32_t kIdZoomActual = 32779;
inline constexpr int32_t kIdZoomIn = 32780;
inline constexpr int32_t kIdZoomOut = 32781;
inline constexpr int32_t kIdNextPhoto = 32782;
inline constexpr int32_t kIdPreviousPhoto = 32783;
inline constexpr int32_t kIdColourManagement = 32784;
inline constexpr int32_t kIdSplitCompare = 32785;
inline constexpr int32_t kIdTurnLeft = 32790;
inline constexpr int32_t kIdTurnRight = 32791;
inline constexpr int32_t kIdMirror = 32792;
inline constexpr int32_t kIdUndo = 57643;
inline constexpr int32_t kIdRedo = 57644;
inline constexpr int32_t kIdExit = 57665;
// The window menu's command for the version dialog; the low four bits are not part of it.
inline constexpr int32_t kSysCommandAbout = 0x0010;

extern const DialogTemplate kMainDialog;
extern const DialogTemplate kAboutDialog;

struct MenuItemTemplate {
    int32_t id;
    const char* text;
    const char* shortcuts;  // key sequences separated by ";", the first one shown; null: none
    bool checkable;
    bool checked = false;  // at start
};

// One popup of the menu bar.
struct MenuTemplate {
    const char* popupText;
    const MenuItemTemplate* items;
    int32_t itemCount;
};

// The popups from the left, and the one at the right end of the bar.
extern const MenuTemplate kMainMenus[4];
extern const MenuTemplate kRightMenu;

// The string with that number (UTF-8), or "" when there is none.
const char* LoadResourceString(int32_t id);

// Why a photo could not be opened or saved, as the window says it; "" for None.
const char* PhotoFailureText(PhotoFailure failure);
// The same for error, with the system's own words where no cause names it.
std::string PhotoCauseText(const PhotoError& error);

// Why the colours are shown as stored, as the window says it.
const char* ColourProblemText(ColourProblem problem);

// What of a photo's metadata is left out of its saves, and why, as the window says it.
const char* MetadataLossText(MetadataLoss::Kind kind);
// Each of what a saved photo lacks, as the window says it, "、" between them.
std::string PhotoWarningsJapanese(const PhotoWarnings& warnings);

// Why apply-to-many did not correct a photo, as the window says it.
std::string ApplyFailureText(const PhotoProblem& problem);

// Why a settings file could not be read or written, as the window says it: the key at fault first.
std::string SettingsFailureText(const SettingsError& error);
// What a settings file held that was ignored: at most ten unknown keys, then how many more.
std::string SettingsWarningText(const SettingsWarnings& warnings);

// Icon 128 at all its sizes (32, 24 and 16 pixels).
QIcon LoadAppIcon();

// A band button bitmap by number; a null pixmap for an unknown number.
QPixmap LoadResourceBitmap(int32_t id);
