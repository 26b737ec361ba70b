#include "tools/lumivex-batch/BatchOptions.h"

#include <charconv>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 6> kBandNames = {"red",  "yellow", "green",
                                                        "cyan", "blue",   "magenta"};

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

std::string RangeError(std::string_view option, int low, int high) {
    return std::string(option) + " takes a whole number from " + std::to_string(low) + " to " +
           std::to_string(high);
}

bool ParseWhiteBalance(std::string_view value, BatchOptions& options) {
    if (value == "off") {
        options.wbMode = 0;
        return true;
    }
    if (value == "auto") {
        options.wbMode = 1;
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
    options.wbMode = 2;
    options.spotX = x;
    options.spotY = y;
    return true;
}

bool ParseBand(std::string_view value, BatchOptions& options, std::string& error) {
    const std::string usage =
        "--band takes COLOR:hue=H,vivid=V,bright=B with COLOR one of red, yellow, green, cyan, "
        "blue, magenta, hue -5000..5000, vivid and bright -40..40";
    size_t colon = value.find(':');
    std::string_view name = value.substr(0, colon);
    size_t band = 0;
    while (band < kBandNames.size() && kBandNames[band] != name) ++band;
    if (band == kBandNames.size() || colon == std::string_view::npos || colon + 1 == value.size()) {
        error = usage;
        return false;
    }
    BandSetting setting = options.bands[band];
    std::string_view rest = value.substr(colon + 1);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (comma != std::string_view::npos && rest.empty()) item = {};
        size_t equals = item.find('=');
        std::string_view key = item.substr(0, equals);
        std::string_view number =
            equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1);
        bool ok = false;
        if (key == "hue") {
            ok = ParseInt(number, -5000, 5000, setting.hue);
            setting.hueSet = true;
        } else if (key == "vivid") {
            ok = ParseInt(number, -40, 40, setting.vivid);
            setting.vividSet = true;
        } else if (key == "bright") {
            ok = ParseInt(number, -40, 40, setting.bright);
            setting.brightSet = true;
        }
        if (!ok) {
            error = usage;
            return false;
        }
    }
    options.bands[band] = setting;
    return true;
}

}  // namespace

std::optional<BatchOptions> ParseBatchOptions(int argc, const char* const* argv,
                                              std::string& error) {
    BatchOptions options;
    std::vector<std::string> positional;
    bool optionsEnded = false;
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
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        if (arg == "--version") {
            options.version = true;
            continue;
        }
        if (arg == "--quiet") {
            options.quiet = true;
            continue;
        }
        if (arg == "--timings") {
            options.timings = true;
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
        static constexpr std::array<std::string_view, 8> kValued = {
            "--wb",   "--brightness", "--vividness", "--add-light", "--suppress-light",
            "--band", "--out-dir",    "--format"};
        bool known = false;
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
        if (name == "--wb") {
            if (!ParseWhiteBalance(value, options)) {
                error = "--wb takes off, auto or spot:X,Y with X and Y photo pixel coordinates";
                return std::nullopt;
            }
        } else if (name == "--brightness" || name == "--vividness") {
            int& target = name == "--brightness" ? options.brightness : options.vividness;
            if (!ParseInt(value, -45, 45, target)) {
                error = RangeError(name, -45, 45);
                return std::nullopt;
            }
        } else if (name == "--add-light" || name == "--suppress-light") {
            int& target = name == "--add-light" ? options.addLight : options.suppressLight;
            if (!ParseInt(value, -1, 100, target)) {
                error = RangeError(name, -1, 100) + " (-1 = off)";
                return std::nullopt;
            }
        } else if (name == "--band") {
            if (!ParseBand(value, options, error)) return std::nullopt;
        } else if (name == "--out-dir") {
            if (value.empty()) {
                error = "--out-dir needs a folder";
                return std::nullopt;
            }
            options.outDir = value;
        } else {
            if (value != "jpg" && value != "png" && value != "bmp" && value != "tif") {
                error = "--format takes jpg, png, bmp or tif";
                return std::nullopt;
            }
            options.format = value;
            options.formatSet = true;
        }
    }
    if (options.help || options.version) return options;

    if (!options.outDir.empty()) {
        if (positional.empty()) {
            error = "missing INPUT: --out-dir needs at least one photo";
            return std::nullopt;
        }
        options.inputs = positional;
        return options;
    }
    if (options.formatSet) {
        error = "--format goes with --out-dir; otherwise OUTPUT's extension chooses the format";
        return std::nullopt;
    }
    if (positional.size() != 2) {
        error = positional.size() < 2 ? "missing arguments: INPUT and OUTPUT are needed"
                                      : "too many arguments: use --out-dir DIR for several photos";
        return std::nullopt;
    }
    options.inputs = {positional[0]};
    options.output = positional[1];
    return options;
}

std::string BatchUsage() {
    return R"(Usage: lumivex-batch [OPTIONS] INPUT OUTPUT
       lumivex-batch [OPTIONS] --out-dir DIR INPUT...

Applies Lumivex's corrections to photos (JPEG, TIFF and what Qt reads) and saves them at full
resolution. Each option acts as if that control had been moved and released in the window; left
out, a control stays at its neutral start.

Options:
  --wb off|auto|spot:X,Y   white balance: off (default), automatic, or the grey point taken
                           from the 5 x 5 pixels around photo pixel (X, Y)
  --brightness N           -45..45 (default 0)
  --vividness N            -45..45 (default 0)
  --add-light N            lift dark tones, -1..100 (default -1 = off)
  --suppress-light N       hold back bright tones, -1..100 (default -1 = off)
  --band COLOR:hue=H,vivid=V,bright=B
                           one colour band: COLOR is red, yellow, green, cyan, blue or magenta;
                           hue -5000..5000, vivid and bright -40..40; keys may be left out;
                           repeat the option for several bands
  --out-dir DIR            write each INPUT as DIR/NAME.jpg
  --format jpg|png|bmp|tif with --out-dir: the format and extension of the outputs
  --quiet                  no progress lines
  --timings                print load, pipeline and save times of each photo
  -h, --help               this text
  --version                the version

With INPUT and OUTPUT, OUTPUT's extension (jpg, jpeg, png, bmp, tif, tiff) chooses the format.
Exit status: 0 all saved, 1 a photo could not be loaded or saved, 2 a usage error.

Example:
  lumivex-batch --wb auto --brightness 10 --band blue:vivid=15 --out-dir fixed shoot/*.JPG
)";
}
