#include "app/Resources.h"

#include <QFile>
#include <QString>

#include <iterator>

#include "adjust/Adjustments.h"

namespace {

using K = ControlKind;
using A = AdjustmentId;

constexpr const char* Low(AdjustmentId id) {
    return Adjustment(id).lowLabel;
}

constexpr const char* High(AdjustmentId id) {
    return Adjustment(id).highLabel;
}

// Slider labels sit left of a slider at x 6 or right of it at x 144, as tall as the slider.
// Each is wide enough for its words in the dialog font (12 pixels a character, 8 dialog units),
// and the preview starts to the right of the widest, so that no label wraps or touches it.
const ControlTemplate kMainControls[] = {
    {kIdOpenPhoto, K::PushButton, "写真を選ぶ", 6, 6, 114, 24, 0},
    {kIdReset, K::PushButton, "リセット", 126, 6, 36, 24, 0},
    {-1, K::StaticText, "ホワイトバランス", 6, 42, 150, 12, 0},
    {kIdWbOff, K::RadioButton, "OFF", 6, 60, 48, 18, kControlGroupStart},
    {kIdWbAuto, K::RadioButton, "自動", 60, 60, 48, 18, 0},
    {kIdWbSpot, K::RadioButton, "スポット", 114, 60, 48, 18, 0},
    {-1, K::StaticText, Low(A::Brightness), 6, 90, 18, 24, 0},
    {kIdBrightnessSlider, K::TrackBar, "", 30, 90, 108, 24, 0},
    {-1, K::StaticText, High(A::Brightness), 144, 90, 26, 24, 0},
    {-1, K::StaticText, Low(A::Vividness), 6, 120, 18, 24, 0},
    {kIdVividnessSlider, K::TrackBar, "", 30, 120, 108, 24, 0},
    {-1, K::StaticText, High(A::Vividness), 144, 120, 26, 24, 0},
    {-1, K::StaticText, Low(A::AddLight), 6, 150, 58, 24, 0},
    {kIdAddLightSlider, K::TrackBar, "", 66, 150, 104, 24, 0},
    {-1, K::StaticText, Low(A::SuppressLight), 6, 180, 58, 24, 0},
    {kIdSuppressLightSlider, K::TrackBar, "", 66, 180, 104, 24, 0},
    {kIdBandRed + 0, K::RadioButton, "赤", 6, 222, 48, 30, kControlGroupStart | kControlBitmap},
    {kIdBandRed + 1, K::RadioButton, "黄", 60, 222, 48, 30, kControlBitmap},
    {kIdBandRed + 2, K::RadioButton, "緑", 114, 222, 48, 30, kControlBitmap},
    {kIdBandRed + 3, K::RadioButton, "水", 114, 258, 48, 30, kControlBitmap},
    {kIdBandRed + 4, K::RadioButton, "青", 60, 258, 48, 30, kControlBitmap},
    {kIdBandRed + 5, K::RadioButton, "桃", 6, 258, 48, 30, kControlBitmap},
    {-1, K::StaticText, Low(A::BandBrightness), 6, 300, 18, 24, 0},
    {kIdBandBrightnessSlider, K::TrackBar, "", 30, 300, 108, 24, 0},
    {-1, K::StaticText, High(A::BandBrightness), 144, 300, 26, 24, 0},
    {-1, K::StaticText, Low(A::BandVividness), 6, 330, 18, 24, 0},
    {kIdBandVividnessSlider, K::TrackBar, "", 30, 330, 108, 24, 0},
    {-1, K::StaticText, High(A::BandVividness), 144, 330, 26, 24, 0},
    {-1, K::StaticText, Low(A::BandHue), 6, 360, 58, 24, 0},
    {kIdBandHueSlider, K::TrackBar, "", 66, 360, 104, 24, 0},
    {kIdSavePhoto, K::PushButton, "修正した写真を保存する", 6, 402, 156, 24, 0},
    {kIdPreviewFrame, K::BlackFrame, "", 176, 0, 360, 432, 0},
};

const ControlTemplate kAboutControls[] = {
    {-1, K::StaticIcon, "", 14, 14, 20, 20, 0},
    {-1, K::StaticText, "Lumivex, Version " LUMIVEX_VERSION, 42, 14, 114, 8, 0},
    {-1, K::StaticText, "Copyright (C) Lumivex", 42, 26, 114, 8, 0},
    {kIdOk, K::DefaultPushButton, "OK", 114, 48, 48, 18, kControlGroupStart},
};

const MenuItemTemplate kFileItems[] = {
    {kIdOpenPhoto, "開く(&O)...", "Ctrl+O", false},
    {kIdNextPhoto, "次の写真(&N)", "PgDown", false},
    {kIdPreviousPhoto, "前の写真(&P)", "PgUp", false},
    {kIdSavePhoto, "保存(&S)...", "Ctrl+S", false},
    {kIdExportSettings, "補正を書き出す(&E)...", nullptr, false},
    {kIdImportSettings, "補正を読み込む(&I)...", nullptr, false},
    {kIdApplyToMany, "他の写真にも適用(&A)...", nullptr, false},
    {kIdExit, "終了(&X)", "Ctrl+Q", false},
};

const MenuItemTemplate kEditItems[] = {
    {kIdUndo, "元に戻す(&U)", "Ctrl+Z", false},
    {kIdRedo, "やり直し(&R)", "Ctrl+Shift+Z;Ctrl+Y", false},
    {kIdReset, "リセット", nullptr, false},
};

// The commands turn the photo as it stands now.
const MenuItemTemplate kImageItems[] = {
    {kIdTurnLeft, "左に90度回転(&L)", "Ctrl+L", false},
    {kIdTurnRight, "右に90度回転(&R)", "Ctrl+R", false},
    {kIdMirror, "左右反転(&F)", nullptr, false},
};

const MenuItemTemplate kViewItems[] = {
    {kIdShowOriginal, "補正前を表示(&B)", nullptr, true},
    {kIdSplitCompare, "左右に比較(&C)", nullptr, true},
    {kIdHistogram, "ヒストグラム(&H)", nullptr, true},
    {kIdColourManagement, "カラーマネジメント(&M)", nullptr, true, true},
    {kIdZoomFit, "全体を表示", "Ctrl+0", false},
    {kIdZoomActual, "100%で表示", "Ctrl+1", false},
    {kIdZoomIn, "拡大", "Ctrl++;Ctrl+=", false},
    {kIdZoomOut, "縮小", "Ctrl+-", false},
};

const MenuItemTemplate kHelpItems[] = {
    {kIdAbout, "バージョン情報(&V...)", nullptr, false},
};

template <size_t N>
constexpr MenuTemplate Popup(const char* text, const MenuItemTemplate (&items)[N]) {
    return MenuTemplate{text, items, static_cast<int32_t>(N)};
}

}  // namespace

const DialogTemplate kMainDialog = {
    "Lumivex",
    536,
    432,
    "MS UI Gothic",
    9,
    kMainControls,
    static_cast<int32_t>(std::size(kMainControls)),
};

const DialogTemplate kAboutDialog = {
    "バージョン情報 Lumivex",
    170,
    73,
    "MS UI Gothic",
    9,
    kAboutControls,
    static_cast<int32_t>(std::size(kAboutControls)),
};

const MenuTemplate kMainMenus[4] = {
    Popup("ファイル(&F)", kFileItems),
    Popup("編集(&E)", kEditItems),
    Popup("画像(&I)", kImageItems),
    Popup("表示(&V)", kViewItems),
};

const MenuTemplate kRightMenu = Popup("Lumivexについて(&H...)", kHelpItems);

const char* LoadResourceString(int32_t id) {
    switch (id) {
        case kAboutMenuString:
            return "バージョン情報 Lumivex(&A)...";
        default:
            return "";
    }
}

QIcon LoadAppIcon() {
    return QIcon(QStringLiteral(":/lumivex/icon128.ico"));
}

QPixmap LoadResourceBitmap(int32_t id) {
    switch (id) {
        case kBitmapRed:
        case kBitmapYellow:
        case kBitmapGreen:
        case kBitmapCyan:
        case kBitmapBlue:
        case kBitmapMagenta:
            return QPixmap(QStringLiteral(":/lumivex/bitmap%1.bmp").arg(id));
        default:
            return QPixmap();
    }
}

const char* PhotoFailureText(PhotoFailure failure) {
    switch (failure) {
        case PhotoFailure::None:
            return "";
        case PhotoFailure::NoSuchFile:
            return "ファイルがありません";
        case PhotoFailure::FolderMissing:
            return "フォルダがありません";
        case PhotoFailure::IsFolder:
            return "写真ではなくフォルダです";
        case PhotoFailure::NotRegularFile:
            return "ふつうのファイルではありません (デバイス、FIFO など)";
        case PhotoFailure::DanglingLink:
            return "リンク先のファイルがありません";
        case PhotoFailure::LinkLoop:
            return "リンクが循環しています";
        case PhotoFailure::PathTooLong:
            return "ファイル名が長すぎます";
        case PhotoFailure::NoPermission:
            return "アクセスする権限がありません";
        case PhotoFailure::DiskFull:
            return "ディスクがいっぱいです";
        case PhotoFailure::FileTooLarge:
            return "このファイルシステムには大きすぎるファイルです";
        case PhotoFailure::NotAPhoto:
            return "読み込める形式の写真ではありません";
        case PhotoFailure::Damaged:
            return "写真のファイルが壊れています";
        case PhotoFailure::TooManyPixels:
            return "画素数が多すぎます";
        case PhotoFailure::NotEnoughMemory:
            return "メモリが足りません";
        case PhotoFailure::UnknownFormat:
            return "この拡張子の形式では保存できません";
        case PhotoFailure::TooLargeForFormat:
            return "この形式には大きすぎる写真です";
        case PhotoFailure::SystemError:
            return "システムのエラーです";
    }
    return "";
}

const char* ColourProblemText(ColourProblem problem) {
    switch (problem) {
        case ColourProblem::None:
            return "";
        case ColourProblem::PhotoProfileNotIcc:
            return "写真のカラープロファイルが ICC プロファイルではありません";
        case ColourProblem::PhotoProfileNotRgb:
            return "写真のカラープロファイルが RGB のものではありません";
        case ColourProblem::ScreenProfileNotIcc:
            return "画面のカラープロファイルが ICC プロファイルではありません";
        case ColourProblem::ScreenProfileNotRgb:
            return "画面のカラープロファイルが RGB のものではありません";
        case ColourProblem::NoConversion:
            return "写真のカラープロファイルから画面のものへ変換できません";
    }
    return "";
}

std::string PhotoCauseText(const PhotoError& error) {
    std::string text = PhotoFailureText(error.failure);
    if (error.failure == PhotoFailure::SystemError) text += ": " + error.text;
    return text;
}

const char* MetadataLossText(MetadataLoss::Kind kind) {
    switch (kind) {
        case MetadataLoss::Kind::DamagedProfile:
            return "カラープロファイル (壊れています)";
        case MetadataLoss::Kind::DamagedExtendedXmp:
            return "拡張 XMP (欠けているか壊れています)";
        case MetadataLoss::Kind::Unreadable:
            return "メタデータ (読めません)";
        case MetadataLoss::Kind::FormatHoldsNone:
            return "メタデータとカラープロファイル (この形式には入りません)";
        case MetadataLoss::Kind::ProfileTooLarge:
            return "カラープロファイル (JPEG には大きすぎます)";
        case MetadataLoss::Kind::XmpTooLarge:
            return "XMP (JPEG には大きすぎます)";
        case MetadataLoss::Kind::ExifTooLarge:
            return "EXIF の一部の項目 (JPEG の EXIF に入りきりません)";
    }
    return "";
}

std::string PhotoWarningsJapanese(const PhotoWarnings& warnings) {
    std::string text;
    if (warnings.damagedRows > 0)
        text = "下の " + std::to_string(warnings.damagedRows) + " 行 (壊れています)";
    for (const MetadataLoss& lost : warnings.metadataLost)
        text += (text.empty() ? "" : "、") + std::string(MetadataLossText(lost.kind));
    return text;
}

std::string ApplyFailureText(const PhotoProblem& problem) {
    const std::string other =
        QFile::decodeName(QByteArray::fromStdString(problem.other)).toStdString();
    switch (problem.kind) {
        case PhotoProblem::Kind::None:
            return "";
        case PhotoProblem::Kind::Load:
            return "読み込めませんでした: " + PhotoCauseText(problem.error);
        case PhotoProblem::Kind::Save:
            return "保存できませんでした: " + PhotoCauseText(problem.error);
        case PhotoProblem::Kind::NoMemory:
            return "メモリが足りないため補正できませんでした";
        case PhotoProblem::Kind::SpotOutside:
            return "スポットの点が写真の外にあります";
        case PhotoProblem::Kind::OverwritesInput:
            return problem.other.empty() ? "保存先が元の写真そのものです"
                                         : "保存先が元の写真 " + other + " と同じです";
        case PhotoProblem::Kind::OverwritesEarlierOutput:
            return "保存先が先の写真 " + other + " の保存先と同じです";
        case PhotoProblem::Kind::OutputExists:
            return "保存先に同じ名前のファイルがあります";
    }
    return "";
}

std::string SettingsFailureText(const SettingsError& error) {
    const std::string key = error.key.empty() ? "" : error.key + ": ";
    switch (error.failure) {
        case SettingsFailure::None:
            return "";
        case SettingsFailure::File:
            return PhotoCauseText(error.file);
        case SettingsFailure::TooLarge:
            return "補正ファイルにしては大きすぎます";
        case SettingsFailure::NotJson:
            return "補正ファイルではありません (" + std::to_string(error.at) +
                   " バイト目から JSON として読めません)";
        case SettingsFailure::NotAnObject:
            return "補正ファイルではありません (JSON のオブジェクトではありません)";
        case SettingsFailure::WrongFormat:
            return key + "Lumivex の補正ファイルではありません";
        case SettingsFailure::DuplicateKey:
            return key + "2 回書かれています";
        case SettingsFailure::BadVersion:
            return key + "1 以上の整数でなければなりません";
        case SettingsFailure::NotObject:
            return key + "オブジェクトでなければなりません";
        case SettingsFailure::OutOfRange:
            return key + std::to_string(error.minimum) + " から " + std::to_string(error.maximum) +
                   " までの整数でなければなりません";
        case SettingsFailure::BadWhiteBalanceMode:
            return key + "off、auto、spot のどれかでなければなりません";
        case SettingsFailure::BadGreyPoint:
            return key + "0 から 1 までの 3 つの数 (赤、緑、青) でなければなりません";
        case SettingsFailure::BadRotate:
            return key + "0、90、180、270 (時計回りの角度) のどれかでなければなりません";
        case SettingsFailure::BadFlip:
            return key + "true か false でなければなりません";
    }
    return "";
}

std::string SettingsWarningText(const SettingsWarnings& warnings) {
    // A file can hold many thousands of keys; the message stays a few lines high.
    constexpr size_t kKeysListed = 10;
    std::string text;
    if (warnings.newerVersion > 0) {
        text += "\nこの補正ファイルはより新しい版 (" + std::to_string(warnings.newerVersion) +
                ") で書かれています。";
    }
    if (warnings.unknownKeys.empty()) return text;
    text += "\n次の項目はこの版では使えないため無視しました:";
    const size_t listed = std::min(warnings.unknownKeys.size(), kKeysListed);
    for (size_t k = 0; k < listed; ++k) text += "\n" + warnings.unknownKeys[k];
    if (listed < warnings.unknownKeys.size())
        text += "\nほか " + std::to_string(warnings.unknownKeys.size() - listed) + " 項目";
    return text;
}
