#include "correct/CorrectPhotoFile.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "imageio/PhotoLoader.h"
#include "imageio/PhotoSaver.h"

namespace fs = std::filesystem;

namespace {

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
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

int Load(const std::string& path, AdjustmentState& state, std::string& reason) {
    if (LoadPhoto(path.c_str(), &state.sourceImage)) return 1;
    reason = LoadFailureReason(path);
    return 0;
}

int PickSpot(AdjustmentState& state, SpotPixel pixel, std::string& reason) {
    if (state.PickSpotWhiteBalance(pixel.x, pixel.y)) return 1;
    reason = "the spot " + std::to_string(pixel.x) + "," + std::to_string(pixel.y) +
             " lies outside the photo (" + std::to_string(state.sourceImage.buffer->width) + " x " +
             std::to_string(state.sourceImage.buffer->height) + ")";
    return 0;
}

}  // namespace

int CorrectPhotoFile(const CorrectionSettings& settings, const std::optional<SpotPixel>& spotPixel,
                     const std::string& input, const std::string& output, PhotoTimings& timings,
                     std::string& reason) {
    if (SameFile(input, output)) {
        reason = "the output would overwrite its own input";
        return 0;
    }
    AdjustmentState state;
    state.ResetAdjustments();

    auto start = std::chrono::steady_clock::now();
    if (!Load(input, state, reason)) return 0;
    timings.loadMs = MillisecondsSince(start);

    start = std::chrono::steady_clock::now();
    ApplySettings(settings, state);
    if (spotPixel && !PickSpot(state, *spotPixel, reason)) return 0;
    // The photo as loaded is not needed again: correcting it in place saves a full-size buffer.
    CImgBuff* result = state.ApplyAdjustmentStagesInPlace();
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

std::optional<GreyPoint> MeasureSpotGreyPoint(const std::string& path, SpotPixel pixel,
                                              std::string& reason) {
    AdjustmentState state;
    state.ResetAdjustments();
    if (!Load(path, state, reason) || !PickSpot(state, pixel, reason)) return std::nullopt;
    return state.spotGreyPoint;
}
