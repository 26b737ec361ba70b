#include "tools/lumivex-batch/BatchRun.h"

#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "imageio/PhotoLoader.h"
#include "imageio/PhotoSaver.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kVersion = "lumivex-batch 1.1.0";

// Checked before any photo is loaded, against the saver's own formats.
bool IsSavableExtension(const std::string& path) {
    return GetEncoderMimeType(path.c_str()) != nullptr;
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
    PhotoLoadLimits limits;
    limits.maxPixels = static_cast<uint64_t>(options.maxMegapixels) * 1'000'000;
    const std::vector<PlannedPhoto> plan =
        PlanPhotos(options.inputs, options.output, options.outDir, options.format);
    const unsigned jobs = options.jobs != 0 ? options.jobs : DefaultPhotoJobs();
    CorrectPhotoFiles(
        options.settings, options.spotPixel, plan, jobs,
        [&](size_t k, const PhotoOutcome& outcome) {
            const std::string& input = plan[k].input;
            if (plan.size() > 1 && !options.quiet)
                std::fprintf(err, "[%zu/%zu] %s\n", k + 1, plan.size(), input.c_str());
            if (!outcome.saved) {
                std::fprintf(err, "lumivex-batch: %s: %s\n", input.c_str(), outcome.reason.c_str());
                status = 1;
            } else if (options.timings) {
                std::fprintf(out, "%s: load %.1f ms, pipeline %.1f ms, save %.1f ms\n",
                             input.c_str(), outcome.timings.loadMs, outcome.timings.pipelineMs,
                             outcome.timings.saveMs);
            }
        },
        limits, options.save);
    return status;
}
