#include "tools/lumivex-batch/BatchOptions.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <iterator>
#include <string_view>

#include "imageio/JpegEncoder.h"
#include "imageio/PhotoFile.h"
#include "imageio/PhotoFormats.h"

namespace {

// What a photo buffer can hold at most, in whole megapixels.
constexpr int kLargestMegapixels = static_cast<int>(kMaxHoldablePixels / 1'000'000);
// More photos at once than this only add memory: the processors are busy long before.
constexpr int kMostJobs = 64;

// Why a --name pattern cannot name outputs, or "" when it can: only {stem}, {ext} and {n} are
// filled in, and a name stays inside --out-dir.
std::string NamePatternError(std::string_view pattern) {
    if (pattern.empty()) return "the name is empty";
    if (pattern.find('/') != std::string_view::npos) return "a name holds no /";
    for (size_t open = pattern.find('{'); open != std::string_view::npos;
         open = pattern.find('{', open + 1)) {
        const std::string_view rest = pattern.substr(open);
        if (!rest.starts_with("{stem}") && !rest.starts_with("{ext}") && !rest.starts_with("{n}"))
            return "only {stem}, {ext} and {n} are filled in";
    }
    return "";
}

// A whole decimal integer in [low, high], nothing else around it.
bool ParseInt(std::string_view text, int low, int high, int& value) {
    if (text.empty()) return false;
    if (text.front() == '+') text.remove_prefix(1);
    int parsed = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    if (parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

// The row a --NAME option (perBand false) or a --band key (perBand true) names, or null.
const AdjustmentSpec* FindAdjustment(std::string_view name, bool perBand) {
    for (const AdjustmentSpec& row : kAdjustments) {
        if (row.perBand == perBand && name == row.optionName) return &row;
    }
    return nullptr;
}

std::string Range(const AdjustmentSpec& row) {
    return std::to_string(row.minimum) + ".." + std::to_string(row.maximum);
}

std::string RangeError(const AdjustmentSpec& row) {
    std::string error = "--" + std::string(row.optionName) + " takes a whole number from " +
                        std::to_string(row.minimum) + " to " + std::to_string(row.maximum);
    if (row.neutralMeaning) {
        error += " (" + std::to_string(row.neutral) + " = " + row.neutralMeaning + ")";
    }
    return error;
}

// The per-band rows, each written by describe, joined by separator.
template <typename Describe>
std::string JoinBandRows(std::string_view separator, Describe describe) {
    std::string text;
    for (const AdjustmentSpec& row : kAdjustments) {
        if (!row.perBand) continue;
        if (!text.empty()) text += separator;
        text += describe(row);
    }
    return text;
}

// "hue=H,vivid=V,bright=B".
std::string BandKeys() {
    return JoinBandRows(",", [](const AdjustmentSpec& row) {
        return std::string(row.optionName) + '=' +
               static_cast<char>(std::toupper(static_cast<unsigned char>(row.optionName[0])));
    });
}

// "hue -5000..5000, vivid -40..40, bright -40..40".
std::string BandRanges() {
    return JoinBandRows(", ", [](const AdjustmentSpec& row) {
        return std::string(row.optionName) + ' ' + Range(row);
    });
}

// "red, yellow, ... or magenta" (last separator "or") or with ", " throughout.
std::string BandNames(std::string_view last) {
    std::string names;
    for (size_t i = 0; i < std::size(kColorBandNames); ++i) {
        if (i > 0) names += i + 1 == std::size(kColorBandNames) ? last : ", ";
        names += kColorBandNames[i];
    }
    return names;
}

bool ParseWhiteBalance(std::string_view value, BatchOptions& options) {
    if (std::optional<WhiteBalanceMode> mode = WhiteBalanceModeFromName(value);
        mode && *mode != WhiteBalanceMode::Spot) {
        options.settings.wbMode = *mode;
        options.spotPixel.reset();
        return true;
    }
    if (value.substr(0, 5) != "spot:") return false;
    std::string_view point = value.substr(5);
    size_t comma = point.find(',');
    if (comma == std::string_view::npos) return false;
    int x = 0;
    int y = 0;
    constexpr int kLargest = 1 << 30;
    if (!ParseInt(point.substr(0, comma), 0, kLargest, x) ||
        !ParseInt(point.substr(comma + 1), 0, kLargest, y)) {
        return false;
    }
    options.settings.wbMode = WhiteBalanceMode::Spot;
    options.spotPixel = SpotPixel{x, y};
    return true;
}

bool ParseBand(std::string_view value, BatchOptions& options, std::string& error) {
    const std::string usage = "--band takes COLOR:" + BandKeys() + " with COLOR one of " +
                              BandNames(", ") + ", " + BandRanges();
    size_t colon = value.find(':');
    std::string_view name = value.substr(0, colon);
    size_t band = 0;
    while (band < std::size(kColorBandNames) && kColorBandNames[band] != name) ++band;
    if (band == std::size(kColorBandNames) || colon == std::string_view::npos ||
        colon + 1 == value.size()) {
        error = usage;
        return false;
    }
    CorrectionSettings settings = options.settings;
    std::string_view rest = value.substr(colon + 1);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (comma != std::string_view::npos && rest.empty()) item = {};
        size_t equals = item.find('=');
        std::string_view number =
            equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1);
        const AdjustmentSpec* row = FindAdjustment(item.substr(0, equals), true);
        int parsed = 0;
        if (!row || !ParseInt(number, row->minimum, row->maximum, parsed)) {
            error = usage;
            return false;
        }
        settings.SetPosition(row->id, static_cast<int32_t>(band), parsed);
    }
    options.settings = settings;
    return true;
}

}  // namespace

std::optional<BatchOptions> ParseBatchOptions(int argc, const char* const* argv,
                                              std::string& error) {
    BatchOptions options;
    std::vector<std::string> positional;
    bool optionsEnded = false;
    // The first correction option or --settings given, for the message when --settings follows.
    std::string correctionGiven;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (optionsEnded || arg.empty() || arg.front() != '-' || arg == "-") {
            positional.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // Options without a value, each setting one field.
        static const std::pair<std::string_view, bool BatchOptions::*> kFlags[] = {
            {"-h", &BatchOptions::help},
            {"--help", &BatchOptions::help},
            {"--version", &BatchOptions::version},
            {"--quiet", &BatchOptions::quiet},
            {"--timings", &BatchOptions::timings},
            {"--print-settings", &BatchOptions::printSettings},
            {"--recursive", &BatchOptions::recursive},
            {"--skip-existing", &BatchOptions::skipExisting},
            {"--overwrite", &BatchOptions::overwrite},
            {"--allow-damaged", &BatchOptions::allowDamaged}};
        const auto* flag = std::find_if(std::begin(kFlags), std::end(kFlags),
                                        [&](const auto& f) { return f.first == arg; });
        if (flag != std::end(kFlags)) {
            options.*(flag->second) = true;
            continue;
        }
        if (arg == "--strip-metadata") {
            options.save.keepMetadata = false;
            continue;
        }
        if (arg == "--flip") {
            options.settings.turn.mirror = true;
            if (correctionGiven.empty()) correctionGiven = arg;
            continue;
        }
        // Every other option takes a value, either as --name=value or as the next argument.
        std::string_view name = arg;
        std::string_view value;
        bool hasValue = false;
        if (size_t equals = arg.find('='); equals != std::string_view::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            hasValue = true;
        }
        static constexpr std::string_view kValued[] = {
            "--wb",      "--band",     "--rotate",         "--out-dir",
            "--format",  "--settings", "--max-megapixels", "--depth",
            "--quality", "--jobs",     "--name",           "--tiff-compression"};
        const AdjustmentSpec* row =
            name.substr(0, 2) == "--" ? FindAdjustment(name.substr(2), false) : nullptr;
        bool known = row != nullptr;
        for (std::string_view option : kValued) known = known || option == name;
        if (!known) {
            error = "unknown option " + std::string(name);
            return std::nullopt;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return std::nullopt;
            }
            value = argv[++i];
        }
        // The file sets every correction; one given before it would be silently lost.
        if (name == "--settings" && !correctionGiven.empty()) {
            error = "--settings goes once and before every correction option (" + correctionGiven +
                    " comes first)";
            return std::nullopt;
        }
        if (correctionGiven.empty() && (name == "--wb" || name == "--band" ||
                                        name == "--settings" || name == "--rotate" || row)) {
            correctionGiven = name;
        }
        if (name == "--settings") {
            SettingsError reason;
            std::optional<CorrectionSettings> settings =
                ReadSettingsFile(std::string(value), options.settingsWarnings, reason);
            if (!settings) {
                error = "--settings " + std::string(value) + ": " + SettingsErrorText(reason);
                return std::nullopt;
            }
            options.settings = *settings;
        } else if (name == "--wb") {
            if (!ParseWhiteBalance(value, options)) {
                error = "--wb takes off, auto or spot:X,Y with X and Y photo pixel coordinates";
                return std::nullopt;
            }
        } else if (row) {
            int parsed = 0;
            if (!ParseInt(value, row->minimum, row->maximum, parsed)) {
                error = RangeError(*row);
                return std::nullopt;
            }
            options.settings.SetPosition(row->id, 0, parsed);
        } else if (name == "--band") {
            if (!ParseBand(value, options, error)) return std::nullopt;
        } else if (name == "--rotate") {
            int degrees = -1;
            const std::optional<int32_t> quarterTurns =
                ParseInt(value, 0, 270, degrees) ? QuarterTurnsOf(degrees) : std::nullopt;
            if (!quarterTurns) {
                error = std::string("--rotate takes ") + kRotateAngles;
                return std::nullopt;
            }
            options.settings.turn.quarterTurns = *quarterTurns;
        } else if (name == "--max-megapixels") {
            if (!ParseInt(value, 1, kLargestMegapixels, options.maxMegapixels)) {
                error = "--max-megapixels takes a whole number from 1 to " +
                        std::to_string(kLargestMegapixels);
                return std::nullopt;
            }
        } else if (name == "--depth") {
            if (value != "8" && value != "16") {
                error = "--depth takes 8 or 16";
                return std::nullopt;
            }
            options.save.bitsPerChannel = value == "8" ? 8 : 16;
        } else if (name == "--quality") {
            if (value == "source") {
                options.save.quality = kSourceQuality;
            } else if (!ParseInt(value, kLowestJpegQuality, kHighestJpegQuality,
                                 options.save.quality)) {
                error = "--quality takes a whole number from " +
                        std::to_string(kLowestJpegQuality) + " to " +
                        std::to_string(kHighestJpegQuality) + ", or source";
                return std::nullopt;
            }
        } else if (name == "--tiff-compression") {
            const std::pair<std::string_view, TiffCompression> kinds[] = {
                {"none", TiffCompression::None},
                {"lzw", TiffCompression::Lzw},
                {"deflate", TiffCompression::Deflate}};
            const auto* kind = std::find_if(std::begin(kinds), std::end(kinds),
                                            [&](const auto& k) { return k.first == value; });
            if (kind == std::end(kinds)) {
                error = "--tiff-compression takes none, lzw or deflate";
                return std::nullopt;
            }
            options.save.tiffCompression = kind->second;
        } else if (name == "--name") {
            if (!NamePatternError(value).empty()) {
                error = "--name " + std::string(value) + ": " + NamePatternError(value);
                return std::nullopt;
            }
            options.namePattern = value;
        } else if (name == "--jobs") {
            int jobs = 0;
            if (!ParseInt(value, 1, kMostJobs, jobs)) {
                error = "--jobs takes a whole number from 1 to " + std::to_string(kMostJobs);
                return std::nullopt;
            }
            options.jobs = static_cast<unsigned>(jobs);
        } else if (name == "--out-dir") {
            if (value.empty()) {
                error = "--out-dir needs a folder";
                return std::nullopt;
            }
            options.outDir = value;
        } else {
            const std::vector<std::string> formats = WrittenExtensions(false);
            if (std::find(formats.begin(), formats.end(), value) == formats.end()) {
                error = "--format takes " + JoinWords(formats, ", ", " or ");
                return std::nullopt;
            }
            options.format = value;
            options.formatSet = true;
        }
    }
    if (options.help || options.version) return options;

    if (options.printSettings) {
        if (!options.outDir.empty() || options.formatSet) {
            error = "--print-settings writes no photos: leave out --out-dir and --format";
            return std::nullopt;
        }
        // A spot pixel only becomes a grey point on a photo.
        const size_t photos = options.spotPixel ? 1 : 0;
        if (positional.size() != photos) {
            error = options.spotPixel
                        ? "--print-settings with --wb spot:X,Y needs the photo to measure: INPUT"
                        : "--print-settings takes a photo only to measure --wb spot:X,Y";
            return std::nullopt;
        }
        options.inputs = positional;
        return options;
    }

    if (options.overwrite && options.skipExisting) {
        error = "--overwrite and --skip-existing exclude each other";
        return std::nullopt;
    }
    if (!options.outDir.empty()) {
        if (positional.empty()) {
            error = "missing INPUT: --out-dir needs at least one photo";
            return std::nullopt;
        }
        options.inputs = positional;
        return options;
    }
    if (options.recursive || options.namePattern != "{stem}" || options.overwrite) {
        error =
            "--recursive, --name and --overwrite go with --out-dir; otherwise OUTPUT names the "
            "file (and is replaced when it is there)";
        return std::nullopt;
    }
    if (positional.size() != 2) {
        error = positional.size() < 2 ? "missing arguments: INPUT and OUTPUT are needed"
                                      : "too many arguments: use --out-dir DIR for several photos";
        return std::nullopt;
    }
    options.inputs = {positional[0]};
    options.output = positional[1];
    if (options.formatSet != (options.output == kStandardStream)) {
        error = options.formatSet ? "--format goes with --out-dir or OUTPUT -; otherwise OUTPUT's "
                                    "extension chooses the format"
                                  : "OUTPUT - (standard output) needs --format";
        return std::nullopt;
    }
    return options;
}

std::string BatchUsage() {
    // Options line up in a column of this width, with their description after it.
    constexpr size_t kColumn = 25;
    std::string adjustments;
    for (const AdjustmentSpec& row : kAdjustments) {
        if (row.perBand) continue;
        std::string option = "--" + std::string(row.optionName) + " N";
        option.resize(kColumn, ' ');
        std::string help = row.optionHelp ? std::string(row.optionHelp) + ", " : std::string();
        help += Range(row) + " (default " + std::to_string(row.neutral);
        if (row.neutralMeaning) help += std::string(" = ") + row.neutralMeaning;
        adjustments += "  " + option + help + ")\n";
    }
    const auto all = [](const PhotoFormat&) { return true; };
    const auto written = [](const PhotoFormat& f) { return f.encoder != PhotoEncoder::None; };
    const auto deep = [&](const PhotoFormat& f) { return written(f) && f.deepestBits > 8; };
    const auto shallow = [&](const PhotoFormat& f) { return written(f) && f.deepestBits == 8; };
    const auto bare = [&](const PhotoFormat& f) {
        return written(f) && f.metadata == MetadataKind::None;
    };
    return R"(Usage: lumivex-batch [OPTIONS] INPUT OUTPUT
  or:  lumivex-batch [OPTIONS] --out-dir DIR INPUT...
  or:  lumivex-batch [OPTIONS] --print-settings [INPUT]

Applies Lumivex's corrections to photos ()" +
           JoinWords(PhotoFormatNames(all), ", ", " or ") + R"() and saves them
at full resolution. Each option acts as if that control had been moved and released in the
window; left out, a control stays at its neutral start.

Options:
  --settings FILE          start from the corrections of a .lumivex settings file (written by
                           the window or by --print-settings); goes before the options below,
                           which then change single values
  --wb off|auto|spot:X,Y   white balance: off (default), automatic, or the grey point taken
                           from the 5 x 5 pixels around photo pixel (X, Y) of the photo as
                           turned by --rotate and --flip
  --rotate 0|90|180|270    turn the photo clockwise by so many degrees before correcting it
                           (default 0); every pixel is kept exactly
  --flip                   after the turn, mirror the photo left to right
)" + adjustments +
           "  --band COLOR:" + BandKeys() + R"(
                           one colour band: COLOR is )" +
           BandNames(" or ") + R"(;
                           )" +
           BandRanges() + R"(; keys may be left out;
                           repeat the option for several bands
  -                        as INPUT: the photo on standard input; as OUTPUT: standard output,
                           in the format --format names
  --out-dir DIR            write each INPUT as DIR/NAME.jpg; an INPUT that is a folder gives
                           the photos in it (their names sorted; hidden files left out)
  --recursive              with a folder INPUT: the photos of its subfolders too, written to
                           the same subfolders of DIR
  --name PATTERN           with --out-dir: NAME made of PATTERN, where {stem} is the INPUT's
                           name without extension, {ext} its extension and {n} its number in
                           the run, 1 up, with as many digits as the last (default {stem})
  --skip-existing          leave a photo whose output is there already alone
  --overwrite              with --out-dir: replace an output that is there already; without it
                           (or --skip-existing) such a photo fails and the file is kept, as it
                           may be another photo (an OUTPUT named alone is replaced). No option
                           lets an output replace an INPUT or another output of the run
  --allow-damaged          save a photo whose lower rows are damaged (a file cut short), with
                           a warning, instead of failing it
  --format )" +
           JoinWords(WrittenExtensions(false), "|", "|") + R"(
                           with --out-dir or OUTPUT -: the format (and extension) of the
                           outputs
  --depth 8|16             bits per channel of )" +
           JoinWords(PhotoFormatNames(deep), ", ", " and ") + R"( outputs (default: 16 for photos
                           with more than 8 bits, else 8); )" +
           JoinWords(PhotoFormatNames(shallow), ", ", " and ") + R"( are always 8
  --quality N|source       JPEG quality, )" +
           std::to_string(kLowestJpegQuality) + ".." + std::to_string(kHighestJpegQuality) +
           R"(, or source: a JPEG INPUT's own, read from its
                           quantisation tables (default: the encoder's own, )" +
           std::to_string(kDefaultJpegQuality) + R"()
  --tiff-compression none|lzw|deflate
                           how TIFF outputs are compressed (default lzw)
  --strip-metadata         write no EXIF, XMP, IPTC or Photoshop resources (date, camera,
                           place, keywords); the colour profile and density are kept
  --max-megapixels N       refuse photos with more than N megapixels, 1..)" +
           std::to_string(kLargestMegapixels) + " (default " +
           std::to_string(kDefaultMaxPhotoPixels / 1'000'000) + R"()
  --print-settings         print the settings file that the options make and write no photo;
                           with --wb spot:X,Y the grey point is measured on INPUT
  --jobs N                 correct up to N photos at once, 1..)" +
           std::to_string(kMostJobs) + R"( (default: one per processor, as far as
                           the memory holds them); messages keep the order of the INPUTs
  --quiet                  no progress lines
  --timings                print load, pipeline and save times of each photo
  -h, --help               this text
  --version                the version

With INPUT and OUTPUT, OUTPUT's extension ()" +
           JoinWords(WrittenExtensions(true), ", ", ", ") + R"() chooses the format.
Saved photos keep the source's EXIF, XMP, IPTC, Photoshop resources, colour profile and density,
with the orientation set upright, where the format holds them ()" +
           JoinWords(PhotoFormatNames(bare), ", ", " and ") +
           (PhotoFormatNames(bare).size() == 1 ? " holds" : " hold") + R"( none).
Exit status: 0 all saved, 1 a photo could not be loaded or saved, 2 a usage error.

Examples:
  lumivex-batch --wb auto --brightness 10 --band blue:vivid=15 --out-dir fixed shoot/*.JPG

  lumivex-batch --settings shoot.lumivex --brightness 5 --out-dir fixed shoot/*.JPG
)";
}
