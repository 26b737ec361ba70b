#include "correct/CorrectionSettings.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>

namespace {

constexpr const char* kFormatName = "lumivex-settings";
// A settings file is a few hundred bytes; anything much larger is not one.
constexpr qint64 kLargestFile = 1 << 20;

constexpr std::array<WhiteBalanceMode, 3> kWhiteBalanceModes = {
    WhiteBalanceMode::Off, WhiteBalanceMode::Automatic, WhiteBalanceMode::Spot};

QString Key(const char* name) {
    return QString::fromUtf8(name);
}

std::string RangeText(const AdjustmentSpec& row) {
    return "a whole number from " + std::to_string(row.minimum) + " to " +
           std::to_string(row.maximum);
}

// Reads one position. Absent keys keep the neutral position already in place.
bool ReadPosition(const QJsonObject& object, const std::string& path, const AdjustmentSpec& row,
                  int32_t& position, std::string& error) {
    const QJsonValue value = object.value(Key(row.optionName));
    if (value.isUndefined()) return true;
    const double number = value.toDouble(std::nan(""));
    if (!value.isDouble() || number != std::trunc(number) || number < row.minimum ||
        number > row.maximum) {
        error = path + row.optionName + ": must be " + RangeText(row);
        return false;
    }
    position = static_cast<int32_t>(number);
    return true;
}

// Adds a warning for every key of object that known does not list.
void WarnUnknownKeys(const QJsonObject& object, const std::string& path,
                     const std::vector<QString>& known, std::vector<std::string>& warnings) {
    for (const QString& key : object.keys()) {
        if (std::find(known.begin(), known.end(), key) == known.end())
            warnings.push_back("unknown key " + path + key.toStdString() + " ignored");
    }
}

std::vector<QString> RowKeys(bool perBand) {
    std::vector<QString> keys;
    for (const AdjustmentSpec& row : kAdjustments) {
        if (row.perBand == perBand) keys.push_back(Key(row.optionName));
    }
    return keys;
}

bool ReadObject(const QJsonObject& parent, const char* key, const std::string& path,
                QJsonObject& object, std::string& error) {
    const QJsonValue value = parent.value(Key(key));
    if (value.isUndefined()) return true;
    if (!value.isObject()) {
        error = path + key + ": must be an object";
        return false;
    }
    object = value.toObject();
    return true;
}

bool ReadWhiteBalance(const QJsonObject& root, CorrectionSettings& settings,
                      std::vector<std::string>& warnings, std::string& error) {
    QJsonObject object;
    if (!ReadObject(root, "white-balance", "", object, error)) return false;
    const QJsonValue mode = object.value("mode");
    if (!mode.isUndefined()) {
        std::optional<WhiteBalanceMode> parsed =
            WhiteBalanceModeFromName(mode.toString().toStdString());
        if (!mode.isString() || !parsed) {
            error = "white-balance.mode: must be off, auto or spot";
            return false;
        }
        settings.wbMode = *parsed;
    }
    const QJsonValue grey = object.value("grey-point");
    if (!grey.isUndefined()) {
        const QJsonArray channels = grey.toArray();
        bool valid = grey.isArray() && channels.size() == 3;
        double rgb[3] = {};
        for (int i = 0; valid && i < 3; ++i) {
            rgb[i] = channels[i].toDouble(-1);
            valid = channels[i].isDouble() && rgb[i] >= 0 && rgb[i] <= 1;
        }
        if (!valid) {
            error =
                "white-balance.grey-point: must be three numbers from 0 to 1 (red, green, blue)";
            return false;
        }
        settings.spotGreyPoint = GreyPoint{rgb[0], rgb[1], rgb[2]};
    }
    WarnUnknownKeys(object, "white-balance.", {"mode", "grey-point"}, warnings);
    return true;
}

bool ReadGeometry(const QJsonObject& root, CorrectionSettings& settings,
                  std::vector<std::string>& warnings, std::string& error) {
    QJsonObject object;
    if (!ReadObject(root, "geometry", "", object, error)) return false;
    const QJsonValue rotate = object.value("rotate");
    if (!rotate.isUndefined()) {
        const std::optional<int32_t> quarterTurns = QuarterTurnsOf(rotate.toDouble(-1));
        if (!rotate.isDouble() || !quarterTurns) {
            error = std::string("geometry.rotate: must be ") + kRotateAngles;
            return false;
        }
        settings.turn.quarterTurns = *quarterTurns;
    }
    const QJsonValue flip = object.value("flip");
    if (!flip.isUndefined()) {
        if (!flip.isBool()) {
            error = "geometry.flip: must be true or false";
            return false;
        }
        settings.turn.mirror = flip.toBool();
    }
    WarnUnknownKeys(object, "geometry.", {"rotate", "flip"}, warnings);
    return true;
}

bool ReadSettingsObject(const QJsonObject& root, CorrectionSettings& settings,
                        std::vector<std::string>& warnings, std::string& error) {
    if (root.value("format").toString() != kFormatName) {
        error = std::string("format: not a Lumivex settings file (\"format\" must be \"") +
                kFormatName + "\")";
        return false;
    }
    const double version = root.value("version").toDouble(0);
    if (!root.value("version").isDouble() || version != std::trunc(version) || version < 1 ||
        version > INT32_MAX) {
        error = "version: must be a whole number from 1";
        return false;
    }
    if (version > kSettingsVersion) {
        warnings.push_back("written by a newer version (" + std::to_string(int64_t(version)) +
                           ") than this program reads (" + std::to_string(kSettingsVersion) + ")");
    }
    if (!ReadWhiteBalance(root, settings, warnings, error) ||
        !ReadGeometry(root, settings, warnings, error))
        return false;

    QJsonObject adjustments;
    if (!ReadObject(root, "adjustments", "", adjustments, error)) return false;
    for (const AdjustmentSpec& row : kAdjustments) {
        if (row.perBand) continue;
        int32_t position = row.neutral;
        if (!ReadPosition(adjustments, "adjustments.", row, position, error)) return false;
        settings.SetPosition(row.id, 0, position);
    }
    WarnUnknownKeys(adjustments, "adjustments.", RowKeys(false), warnings);

    QJsonObject bands;
    if (!ReadObject(root, "bands", "", bands, error)) return false;
    std::vector<QString> bandNames;
    for (int32_t band = 0; band < kColorBandCount; ++band) {
        const char* name = kColorBandNames[band];
        bandNames.push_back(Key(name));
        const std::string path = std::string("bands.") + name + ".";
        QJsonObject values;
        if (!ReadObject(bands, name, "bands.", values, error)) return false;
        for (const AdjustmentSpec& row : kAdjustments) {
            if (!row.perBand) continue;
            int32_t position = row.neutral;
            if (!ReadPosition(values, path, row, position, error)) return false;
            settings.SetPosition(row.id, band, position);
        }
        WarnUnknownKeys(values, path, RowKeys(true), warnings);
    }
    WarnUnknownKeys(bands, "bands.", bandNames, warnings);
    WarnUnknownKeys(root, "",
                    {"format", "version", "white-balance", "geometry", "adjustments", "bands"},
                    warnings);
    return true;
}

}  // namespace

std::string_view WhiteBalanceModeName(WhiteBalanceMode mode) {
    switch (mode) {
        case WhiteBalanceMode::Off:
            return "off";
        case WhiteBalanceMode::Automatic:
            return "auto";
        case WhiteBalanceMode::Spot:
            return "spot";
    }
    return "off";
}

std::optional<WhiteBalanceMode> WhiteBalanceModeFromName(std::string_view name) {
    for (WhiteBalanceMode mode : kWhiteBalanceModes) {
        if (WhiteBalanceModeName(mode) == name) return mode;
    }
    return std::nullopt;
}

std::optional<int32_t> QuarterTurnsOf(double degrees) {
    for (int32_t quarterTurns = 0; quarterTurns < 4; ++quarterTurns) {
        if (degrees == quarterTurns * 90) return quarterTurns;
    }
    return std::nullopt;
}

std::string SettingsToText(const CorrectionSettings& settings) {
    QJsonObject whiteBalance;
    whiteBalance["mode"] = QString::fromUtf8(WhiteBalanceModeName(settings.wbMode).data(),
                                             WhiteBalanceModeName(settings.wbMode).size());
    if (settings.spotGreyPoint) {
        const GreyPoint& grey = *settings.spotGreyPoint;
        whiteBalance["grey-point"] = QJsonArray{grey.r, grey.g, grey.b};
    }
    QJsonObject adjustments;
    QJsonObject bands;
    for (const AdjustmentSpec& row : kAdjustments) {
        if (!row.perBand) adjustments[Key(row.optionName)] = settings.Position(row.id);
    }
    for (int32_t band = 0; band < kColorBandCount; ++band) {
        QJsonObject values;
        for (const AdjustmentSpec& row : kAdjustments) {
            if (row.perBand) values[Key(row.optionName)] = settings.Position(row.id, band);
        }
        bands[Key(kColorBandNames[band])] = values;
    }
    QJsonObject root;
    root["format"] = kFormatName;
    root["version"] = kSettingsVersion;
    root["white-balance"] = whiteBalance;
    root["geometry"] =
        QJsonObject{{"rotate", settings.turn.quarterTurns * 90}, {"flip", settings.turn.mirror}};
    root["adjustments"] = adjustments;
    root["bands"] = bands;
    return QJsonDocument(root).toJson(QJsonDocument::Indented).toStdString();
}

std::optional<CorrectionSettings> SettingsFromText(std::string_view text,
                                                   std::vector<std::string>& warnings,
                                                   std::string& error) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray(text.data(), static_cast<qsizetype>(text.size())), &parseError);
    if (document.isNull() || !document.isObject()) {
        error = document.isNull()
                    ? "not a settings file: " + parseError.errorString().toStdString() +
                          " at byte " + std::to_string(parseError.offset)
                    : "not a settings file: the text is not a JSON object";
        return std::nullopt;
    }
    CorrectionSettings settings;
    std::vector<std::string> found;
    if (!ReadSettingsObject(document.object(), settings, found, error)) return std::nullopt;
    warnings.insert(warnings.end(), found.begin(), found.end());
    return settings;
}

std::optional<CorrectionSettings> ReadSettingsFile(const std::string& path,
                                                   std::vector<std::string>& warnings,
                                                   std::string& error) {
    const QString name = QFile::decodeName(QByteArray::fromStdString(path));
    // Checked before opening: a FIFO or a device would block the read or never end.
    const QFileInfo info(name);
    if (!info.exists()) {
        error = "no such file";
        return std::nullopt;
    }
    if (!info.isFile()) {
        error = info.isDir() ? "is a folder, not a settings file" : "is not a regular file";
        return std::nullopt;
    }
    if (info.size() > kLargestFile) {
        error = "too large for a settings file";
        return std::nullopt;
    }
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        error = file.errorString().toStdString();
        return std::nullopt;
    }
    const QByteArray bytes = file.read(kLargestFile + 1);
    if (bytes.size() > kLargestFile) {
        error = "too large for a settings file";
        return std::nullopt;
    }
    return SettingsFromText(std::string_view(bytes.constData(), bytes.size()), warnings, error);
}

bool WriteSettingsFile(const std::string& path, const CorrectionSettings& settings,
                       std::string& error) {
    const QString name = QFile::decodeName(QByteArray::fromStdString(path));
    const QFileInfo info(name);
    if (info.exists() && !info.isFile()) {
        error = info.isDir() ? "is a folder" : "is not a regular file";
        return false;
    }
    const std::string text = SettingsToText(settings);
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !file.commit()) {
        error = file.errorString().toStdString();
        return false;
    }
    return true;
}
