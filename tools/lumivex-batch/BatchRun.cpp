#include "tools/lumivex-batch/BatchRun.h"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>
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

// A file on disk, as the system knows it whatever name reaches it: an existing file by device and
// inode (links and other spellings of its path included), one still to be made by its folder's
// device and inode and its name there.
struct FileIdentity {
    dev_t device;
    ino_t inode;
    std::string name;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> Identify(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) return FileIdentity{status.st_dev, status.st_ino, {}};
    if (errno != ENOENT) return std::nullopt;
    fs::path folder = fs::path(path).parent_path();
    if (folder.empty()) folder = ".";
    if (stat(folder.c_str(), &status) != 0) return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino, fs::path(path).filename().string()};
}

struct PlannedPhoto {
    std::string input;
    std::string output;
    std::string refusal;  // why the photo is not corrected at all, decided before any work
};

// Resolves every input and output before any photo is touched, so that no output can replace an
// input of the run or the output of an earlier photo, however either is spelt.
std::vector<PlannedPhoto> PlanPhotos(const BatchOptions& options) {
    std::vector<PlannedPhoto> plan;
    std::vector<std::pair<FileIdentity, size_t>> inputs;
    for (size_t k = 0; k < options.inputs.size(); ++k) {
        const std::string& input = options.inputs[k];
        std::string output = options.output;
        if (!options.outDir.empty()) {
            output =
                (fs::path(options.outDir) / fs::path(input).stem()).string() + "." + options.format;
        }
        plan.push_back({input, output, {}});
        if (std::optional<FileIdentity> id = Identify(input); id && id->name.empty()) {
            inputs.emplace_back(*id, k);
        }
    }
    std::vector<std::pair<FileIdentity, size_t>> outputs;
    for (size_t k = 0; k < plan.size(); ++k) {
        const std::optional<FileIdentity> id = Identify(plan[k].output);
        if (!id) continue;
        const std::string its = "its output " + plan[k].output + " would overwrite ";
        for (const auto& [input, index] : inputs) {
            if (input == *id) {
                plan[k].refusal =
                    index == k ? its + "its own input" : its + "the input " + plan[index].input;
                break;
            }
        }
        for (const auto& [output, index] : outputs) {
            if (plan[k].refusal.empty() && output == *id) {
                plan[k].refusal = its + "the output of the earlier photo " + plan[index].input;
            }
        }
        if (plan[k].refusal.empty()) outputs.emplace_back(*id, k);
    }
    return plan;
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
    const std::vector<PlannedPhoto> plan = PlanPhotos(options);
    for (size_t k = 0; k < plan.size(); ++k) {
        const PlannedPhoto& photo = plan[k];
        if (plan.size() > 1 && !options.quiet) {
            std::fprintf(err, "[%zu/%zu] %s\n", k + 1, plan.size(), photo.input.c_str());
        }
        std::string reason = photo.refusal;
        PhotoTimings timings;
        if (reason.empty() &&
            CorrectPhotoFile(options.settings, options.spotPixel, photo.input, photo.output,
                             timings, reason, limits, options.save)) {
            if (options.timings) {
                std::fprintf(out, "%s: load %.1f ms, pipeline %.1f ms, save %.1f ms\n",
                             photo.input.c_str(), timings.loadMs, timings.pipelineMs,
                             timings.saveMs);
            }
            continue;
        }
        std::fprintf(err, "lumivex-batch: %s: %s\n", photo.input.c_str(), reason.c_str());
        status = 1;
    }
    return status;
}
