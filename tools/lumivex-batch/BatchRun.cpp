#include "tools/lumivex-batch/BatchRun.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>

#include "adjust/Pipeline.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoSaver.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kVersion = "lumivex-batch 1.1.0";

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// Checked before any photo is loaded, against the saver's own formats.
bool IsSavableExtension(const std::string& path) {
    return path.size() <= kMaxPathUnits && GetEncoderMimeType(path.c_str()) != nullptr;
}

// Why a photo could not be loaded, as far as the file system tells; the decoder itself only
// says yes or no.
std::string LoadFailureReason(const std::string& path) {
    std::error_code error;
    fs::file_status status = fs::status(path, error);
    if (error || !fs::exists(status)) return "no such file";
    if (fs::is_directory(status)) return "is a folder, not a photo";
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        std::fclose(file);
        return "not a photo that can be read (damaged, or an unsupported format)";
    }
    return std::strerror(errno);
}

std::string SaveFailureReason(const std::string& path) {
    fs::path parent = fs::path(path).parent_path();
    std::error_code error;
    if (!parent.empty() && !fs::is_directory(parent, error)) return "the folder does not exist";
    return "could not be written (no permission, or the disk is full)";
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    return fs::equivalent(a, b, error) && !error;
}

}  // namespace

int CorrectPhoto(const BatchOptions& options, const std::string& input, const std::string& output,
                 PhotoTimings& timings, std::string& reason) {
    if (SameFile(input, output)) {
        reason = "the output would overwrite its own input";
        return 0;
    }
    AdjustmentState state;
    state.ResetAdjustments();

    auto start = std::chrono::steady_clock::now();
    if (!LoadPhoto(input.c_str(), &state.sourceImage)) {
        reason = LoadFailureReason(input);
        return 0;
    }
    timings.loadMs = MillisecondsSince(start);

    start = std::chrono::steady_clock::now();
    for (const AdjustmentSpec& row : kAdjustments) {
        if (!row.perBand)
            state.OnAdjustmentChanged(row.id, 1, options.positions[static_cast<size_t>(row.id)]);
    }
    for (int band = 0; band < kColorBandCount; ++band) {
        state.selectedBand = band;
        for (const AdjustmentSpec& row : kAdjustments) {
            const std::optional<int32_t>& position =
                options.bands[band][static_cast<size_t>(row.id)];
            if (row.perBand && position) state.OnAdjustmentChanged(row.id, 1, *position);
        }
    }
    state.wbMode = options.wbMode;
    if (options.wbMode == WhiteBalanceMode::Spot &&
        !state.PickSpotWhiteBalance(options.spotX, options.spotY)) {
        reason = "the spot " + std::to_string(options.spotX) + "," + std::to_string(options.spotY) +
                 " lies outside the photo (" + std::to_string(state.sourceImage.buffer->width) +
                 " x " + std::to_string(state.sourceImage.buffer->height) + ")";
        return 0;
    }
    state.needsApply = 1;
    CImgBuff* result = state.ApplyAdjustmentStages(0);
    timings.pipelineMs = MillisecondsSince(start);
    if (!result || result->buffer->type == PT_NONE) {
        reason = "not enough memory to correct the photo";
        return 0;
    }

    start = std::chrono::steady_clock::now();
    if (!SavePhoto(output.c_str(), result)) {
        reason = SaveFailureReason(output);
        return 0;
    }
    timings.saveMs = MillisecondsSince(start);
    return 1;
}

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
            saved = CorrectPhoto(options, input, output, timings, reason);
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
