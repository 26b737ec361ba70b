#include "tools/lumivex-batch/BatchRun.h"

#include <filesystem>
#include <set>
#include <system_error>

#include "imageio/PhotoLoader.h"
#include "imageio/PhotoSaver.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kVersion = "lumivex-batch 1.1.0";

// Checked before any photo is loaded, against the saver's own formats.
bool IsSavableExtension(const std::string& path) {
    return path.size() <= kMaxPathUnits && GetEncoderMimeType(path.c_str()) != nullptr;
}

// Prints the settings file the options make; 0, or 1 when the spot grey point cannot be measured.
int PrintSettings(const BatchOptions& options, FILE* out, FILE* err) {
    CorrectionSettings settings = options.settings;
    if (options.spotPixel) {
        std::string reason;
        settings.spotGreyPoint =
            MeasureSpotGreyPoint(options.inputs[0], *options.spotPixel, reason);
        if (!settings.spotGreyPoint) {
            std::fprintf(err, "lumivex-batch: %s: %s\n", options.inputs[0].c_str(), reason.c_str());
            return 1;
        }
    }
    std::fputs(SettingsToText(settings).c_str(), out);
    return 0;
}

}  // namespace

int RunBatch(int argc, const char* const* argv, FILE* out, FILE* err) {
    std::string error;
    std::optional<BatchOptions> parsed = ParseBatchOptions(argc, argv, error);
    if (!parsed) {
        std::fprintf(err, "lumivex-batch: %s\nTry 'lumivex-batch --help'.\n", error.c_str());
        return 2;
    }
    const BatchOptions& options = *parsed;
    if (options.help) {
        std::fputs(BatchUsage().c_str(), out);
        return 0;
    }
    if (options.version) {
        std::fprintf(out, "%s\n", kVersion);
        return 0;
    }
    for (const std::string& warning : options.settingsWarnings)
        std::fprintf(err, "lumivex-batch: warning: --settings: %s\n", warning.c_str());
    if (options.printSettings) return PrintSettings(options, out, err);
    if (options.settings.wbMode == WhiteBalanceMode::Spot && !options.settings.spotGreyPoint &&
        !options.spotPixel) {
        std::fprintf(err,
                     "lumivex-batch: warning: spot white balance without a grey point leaves the "
                     "colours as they are; give --wb spot:X,Y\n");
    }
    if (options.outDir.empty() && !IsSavableExtension(options.output)) {
        std::fprintf(err,
                     "lumivex-batch: OUTPUT must end in .jpg, .jpeg, .png, .bmp, .tif or .tiff\n"
                     "Try 'lumivex-batch --help'.\n");
        return 2;
    }

    if (!options.outDir.empty()) {
        std::error_code created;
        fs::create_directories(options.outDir, created);
        if (created || !fs::is_directory(options.outDir, created)) {
            std::fprintf(err, "lumivex-batch: cannot make the folder %s\n", options.outDir.c_str());
            return 1;
        }
    }

    int status = 0;
    std::set<std::string> written;
    const size_t count = options.inputs.size();
    for (size_t k = 0; k < count; ++k) {
        const std::string& input = options.inputs[k];
        std::string output = options.output;
        if (!options.outDir.empty()) {
            output =
                (fs::path(options.outDir) / fs::path(input).stem()).string() + "." + options.format;
        }
        if (count > 1 && !options.quiet) {
            std::fprintf(err, "[%zu/%zu] %s\n", k + 1, count, input.c_str());
        }
        std::string reason;
        PhotoTimings timings;
        bool saved = false;
        // Two inputs with one name (a.jpg, a.tif) would write one output; keep the first.
        std::string key = fs::path(output).lexically_normal().string();
        if (written.count(key)) {
            reason = "its output " + output + " was already written from an earlier photo";
        } else {
            saved = CorrectPhotoFile(options.settings, options.spotPixel, input, output, timings,
                                     reason);
            if (saved) written.insert(key);
        }
        if (!saved) {
            std::fprintf(err, "lumivex-batch: %s: %s\n", input.c_str(), reason.c_str());
            status = 1;
            continue;
        }
        if (options.timings) {
            std::fprintf(out, "%s: load %.1f ms, pipeline %.1f ms, save %.1f ms\n", input.c_str(),
                         timings.loadMs, timings.pipelineMs, timings.saveMs);
        }
    }
    return status;
}
