#include "correct/CorrectionSettings.h"

#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>
#include <cerrno>
#include <cmath>
#include <set>

#include "imageio/PhotoSaver.h"

namespace {

constexpr const char* kFormatName = "lumivex-settings";
// A settings file is a few hundred bytes; anything much larger is not one.
constexpr size_t kLargestFile = 1 << 20;

constexpr std::array<WhiteBalanceMode, 3> kWhiteBalanceModes = {
    WhiteBalanceMode::Off, WhiteBalanceMode::Automatic, WhiteBalanceMode::Spot};

SettingsError Fault(SettingsFailure failure, std::string key = {}) {
    SettingsError error;
    error.failure = failure;
    error.key = std::move(key);
    return error;
}

QString Key(const char* name) {
    return QString::fromUtf8(name);
}

// Reads one position. Absent keys keep the neutral position already in place.
bool ReadPosition(const QJsonObject& object, const std::string& path, const AdjustmentSpec& row,
                  int32_t& position, SettingsError& error) {
    const QJsonValue value = object.value(Key(row.optionName));
    if (value.isUndefined()) return true;
    const double number = value.toDouble(std::nan(""));
    if (!value.isDouble() || number != std::trunc(number) || number < row.minimum ||
        number > row.maximum) {
        error = Fault(SettingsFailure::OutOfRange, path + row.optionName);
        error.minimum = row.minimum;
        error.maximum = row.maximum;
        return false;
    }
    position = static_cast<int32_t>(number);
    return true;
}

// Lists every key of object that known does not list.
void WarnUnknownKeys(const QJsonObject& object, const std::string& path,
                     const std::vector<QString>& known, SettingsWarnings& warnings) {
    for (const QString& key : object.keys()) {
        if (std::find(known.begin(), known.end(), key) == known.end())
            warnings.unknownKeys.push_back(path + key.toStdString());
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
                QJsonObject& object, SettingsError& error) {
    const QJsonValue value = parent.value(Key(key));
    if (value.isUndefined()) return true;
    if (!value.isObject()) {
        error = Fault(SettingsFailure::NotObject, path + key);
        return false;
    }
    object = value.toObject();
    return true;
}

bool ReadWhiteBalance(const QJsonObject& root, CorrectionSettings& settings,
                      SettingsWarnings& warnings, SettingsError& error) {
    QJsonObject object;
    if (!ReadObject(root, "white-balance", "", object, error)) return false;
    const QJsonValue mode = object.value("mode");
    if (!mode.isUndefined()) {
        std::optional<WhiteBalanceMode> parsed =
            WhiteBalanceModeFromName(mode.toString().toStdString());
        if (!mode.isString() || !parsed) {
            error = Fault(SettingsFailure::BadWhiteBalanceMode, "white-balance.mode");
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
            error = Fault(SettingsFailure::BadGreyPoint, "white-balance.grey-point");
            return false;
        }
        settings.spotGreyPoint = GreyPoint{rgb[0], rgb[1], rgb[2]};
    }
    WarnUnknownKeys(object, "white-balance.", {"mode", "grey-point"}, warnings);
    return true;
}

bool ReadGeometry(const QJsonObject& root, CorrectionSettings& settings, SettingsWarnings& warnings,
                  SettingsError& error) {
    QJsonObject object;
    if (!ReadObject(root, "geometry", "", object, error)) return false;
    const QJsonValue rotate = object.value("rotate");
    if (!rotate.isUndefined()) {
        const std::optional<int32_t> quarterTurns = QuarterTurnsOf(rotate.toDouble(-1));
        if (!rotate.isDouble() || !quarterTurns) {
            error = Fault(SettingsFailure::BadRotate, "geometry.rotate");
            return false;
        }
        settings.turn.quarterTurns = *quarterTurns;
    }
    const QJsonValue flip = object.value("flip");
    if (!flip.isUndefined()) {
        if (!flip.isBool()) {
            error = Fault(SettingsFailure::BadFlip, "geometry.flip");
            return false;
        }
        settings.turn.mirror = flip.toBool();
    }
    WarnUnknownKeys(object, "geometry.", {"rotate", "flip"}, warnings);
    return true;
}

bool ReadSettingsObject(const QJsonObject& root, CorrectionSettings& settings,
                        SettingsWarnings& warnings, SettingsError& error) {
    if (root.value("format").toString() != kFormatName) {
        error = Fault(SettingsFailure::WrongFormat, "format");
        return false;
    }
    const double version = root.value("version").toDouble(0);
    if (!root.value("version").isDouble() || version != std::trunc(version) || version < 1 ||
        version > INT32_MAX) {
        error = Fault(SettingsFailure::BadVersion, "version");
        return false;
    }
    if (version > kSettingsVersion) warnings.newerVersion = static_cast<int64_t>(version);
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

// The path of the first key that appears twice in one object of text (valid JSON), such as
// "bands.blue.hue"; empty when none does. Qt's parser silently keeps the last of them.
std::string FirstDuplicateKey(std::string_view text) {
    struct Level {
        bool object;
        std::string path;  // of the keys in it, ending in a dot
        std::set<std::string> keys;
    };
    std::vector<Level> levels;
    std::string key;  // the last key read
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '{' || c == '[') {
            const bool named = !levels.empty() && levels.back().object;
            levels.push_back({c == '{', named ? levels.back().path + key + "." : "", {}});
        } else if ((c == '}' || c == ']') && !levels.empty()) {
            levels.pop_back();
        } else if (c == '"') {
            const size_t start = i;
            for (++i; i < text.size() && text[i] != '"'; ++i) i += text[i] == '\\';
            // In valid JSON a string followed by a colon is a key, and only then.
            const size_t next = text.find_first_not_of(" \t\r\n", i + 1);
            if (next == std::string_view::npos || text[next] != ':' || levels.empty()) continue;
            const std::string token(text.substr(start, i + 1 - start));
            key = QJsonDocument::fromJson(QByteArray::fromStdString("[" + token + "]"))
                      .array()[0]
                      .toString()
                      .toStdString();
            if (!levels.back().keys.insert(key).second) return levels.back().path + key;
        }
    }
    return {};
}

}  // namespace

std::string SettingsErrorText(const SettingsError& error) {
    const std::string key = error.key.empty() ? "" : error.key + ": ";
    switch (error.failure) {
        case SettingsFailure::None:
            return "";
        case SettingsFailure::File:
            return error.file.text;
        case SettingsFailure::TooLarge:
            return "too large for a settings file";
        case SettingsFailure::NotJson:
            return "not a settings file: not JSON from byte " + std::to_string(error.at);
        case SettingsFailure::NotAnObject:
            return "not a settings file: the text is not a JSON object";
        case SettingsFailure::WrongFormat:
            return key + "not a Lumivex settings file (\"format\" must be \"" + kFormatName + "\")";
        case SettingsFailure::DuplicateKey:
            return key + "given twice";
        case SettingsFailure::BadVersion:
            return key + "must be a whole number from 1";
        case SettingsFailure::NotObject:
            return key + "must be an object";
        case SettingsFailure::OutOfRange:
            return key + "must be a whole number from " + std::to_string(error.minimum) + " to " +
                   std::to_string(error.maximum);
        case SettingsFailure::BadWhiteBalanceMode:
            return key + "must be off, auto or spot";
        case SettingsFailure::BadGreyPoint:
            return key + "must be three numbers from 0 to 1 (red, green, blue)";
        case SettingsFailure::BadRotate:
            return key + "must be " + kRotateAngles;
        case SettingsFailure::BadFlip:
            return key + "must be true or false";
    }
    return "";
}

std::vector<std::string> SettingsWarningLines(const SettingsWarnings& warnings) {
    std::vector<std::string> lines;
    if (warnings.newerVersion > 0) {
        lines.push_back("written by a newer version (" + std::to_string(warnings.newerVersion) +
                        ") than this program reads (" + std::to_string(kSettingsVersion) + ")");
    }
    for (const std::string& key : warnings.unknownKeys)
        lines.push_back("unknown key " + key + " ignored");
    return lines;
}

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
                                                   SettingsWarnings& warnings,
                                                   SettingsError& error) {
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(
        QByteArray(text.data(), static_cast<qsizetype>(text.size())), &parseError);
    if (document.isNull()) {
        error = Fault(SettingsFailure::NotJson);
        error.at = parseError.offset;
        return std::nullopt;
    }
    if (!document.isObject()) {
        error = Fault(SettingsFailure::NotAnObject);
        return std::nullopt;
    }
    if (std::string key = FirstDuplicateKey(text); !key.empty()) {
        error = Fault(SettingsFailure::DuplicateKey, key);
        return std::nullopt;
    }
    CorrectionSettings settings;
    SettingsWarnings found;
    if (!ReadSettingsObject(document.object(), settings, found, error)) return std::nullopt;
    warnings = std::move(found);
    return settings;
}

std::optional<CorrectionSettings> ReadSettingsFile(const std::string& path,
                                                   SettingsWarnings& warnings,
                                                   SettingsError& error) {
    error = Fault(SettingsFailure::File);
    const FileDescriptor fd(OpenPhotoFile(path.c_str(), &error.file));
    if (fd.get() < 0) return std::nullopt;
    std::string bytes(kLargestFile + 1, '\0');
    size_t size = 0;
    while (size < bytes.size()) {
        const ssize_t got = read(fd.get(), bytes.data() + size, bytes.size() - size);
        if (got == 0) break;
        if (got > 0) {
            size += static_cast<size_t>(got);
        } else if (errno != EINTR) {
            SetErrnoError(&error.file, errno);
            return std::nullopt;
        }
    }
    if (size > kLargestFile) {
        error = Fault(SettingsFailure::TooLarge);
        return std::nullopt;
    }
    bytes.resize(size);
    error = {};
    return SettingsFromText(bytes, warnings, error);
}

bool WriteSettingsFile(const std::string& path, const CorrectionSettings& settings,
                       SettingsError& error) {
    error = Fault(SettingsFailure::File);
    std::string target;
    const std::string text = SettingsToText(settings);
    if (!CheckWriteTarget(path.c_str(), &target, &error.file) ||
        !WriteFileAtomically(
            target,
            [&](QIODevice* device, PhotoError*) {
                // A short write leaves its errno for the atomic write to report.
                return int(device->write(text.data(), static_cast<qint64>(text.size())) ==
                           static_cast<qint64>(text.size()));
            },
            &error.file)) {
        return false;
    }
    error = {};
    return true;
}
