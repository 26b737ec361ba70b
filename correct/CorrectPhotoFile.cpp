#include "correct/CorrectPhotoFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>

#include "adjust/Pipeline.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoMetadata.h"
#include "imageio/PhotoSaver.h"
#include "parallel/OrderedJobs.h"
#include "parallel/WorkerPool.h"

namespace fs = std::filesystem;

namespace {

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

int Load(const std::string& path, const PhotoLoadLimits& limits, CImgBuff& photo,
         std::string& reason, PhotoOrigin* origin = nullptr) {
    PhotoError error;
    if (LoadPhoto(path.c_str(), &photo, &error, limits, origin)) return 1;
    reason = error.text;
    if (error.failure == PhotoFailure::TooManyPixels && limits.maxPixels < kMaxHoldablePixels) {
        reason += " (--max-megapixels raises the limit)";
    }
    return 0;
}

// The spot grey point around pixel, as a click there takes it.
std::optional<GreyPoint> PickSpot(const CImgBuff& photo, SpotPixel pixel, std::string& reason) {
    const C_ImgBuff& pixels = *photo.buffer;
    if (std::optional<GreyPoint> grey = SpotGreyPointAt(pixels, pixel.x, pixel.y)) return grey;
    reason = "the spot " + std::to_string(pixel.x) + "," + std::to_string(pixel.y) +
             " lies outside the photo (" + std::to_string(pixels.width) + " x " +
             std::to_string(pixels.height) + ")";
    return std::nullopt;
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

}  // namespace

std::vector<PlannedPhoto> PlanPhotos(const std::vector<std::string>& inputs,
                                     const std::string& output, const std::string& folder,
                                     const std::string& format) {
    std::vector<PlannedPhoto> plan;
    std::vector<std::pair<FileIdentity, size_t>> inputIds;
    for (size_t k = 0; k < inputs.size(); ++k) {
        const std::string& input = inputs[k];
        const std::string target =
            folder.empty() ? output
                           : (fs::path(folder) / fs::path(input).stem()).string() + "." + format;
        plan.push_back({input, target, {}});
        if (std::optional<FileIdentity> id = Identify(input); id && id->name.empty()) {
            inputIds.emplace_back(*id, k);
        }
    }
    std::vector<std::pair<FileIdentity, size_t>> outputs;
    for (size_t k = 0; k < plan.size(); ++k) {
        const std::optional<FileIdentity> id = Identify(plan[k].output);
        if (!id) continue;
        const std::string its = "its output " + plan[k].output + " would overwrite ";
        for (const auto& [input, index] : inputIds) {
            if (input == *id) {
                plan[k].refusal =
                    index == k ? its + "its own input" : its + "the input " + plan[index].input;
                break;
            }
        }
        for (const auto& [earlier, index] : outputs) {
            if (plan[k].refusal.empty() && earlier == *id) {
                plan[k].refusal = its + "the output of the earlier photo " + plan[index].input;
            }
        }
        if (plan[k].refusal.empty()) outputs.emplace_back(*id, k);
    }
    return plan;
}

int CorrectPhotoFile(const CorrectionSettings& settings, const std::optional<SpotPixel>& spotPixel,
                     const PlannedPhoto& planned, PhotoTimings& timings, std::string& reason,
                     const PhotoLoadLimits& limits, const SaveOptions& save) {
    if (!planned.refusal.empty()) {
        reason = planned.refusal;
        return 0;
    }
    const std::string& input = planned.input;
    const std::string& output = planned.output;
    // The output's folder, name and kind are checked before the photo is read.
    PhotoError error;
    if (!CheckSaveTarget(output.c_str(), nullptr, &error)) {
        reason = "cannot save " + output + ": " + error.text;
        return 0;
    }
    const EngineReference engine;
    auto start = std::chrono::steady_clock::now();
    PhotoOrigin origin;
    CImgBuff photo;
    if (!Load(input, limits, photo, reason, &origin)) return 0;
    timings.loadMs = MillisecondsSince(start);
    if (!CheckSaveSize(output.c_str(), photo.buffer->width, photo.buffer->height, &error)) {
        reason = "cannot save " + output + ": " + error.text;
        return 0;
    }

    start = std::chrono::steady_clock::now();
    CorrectionSettings used = settings;
    if (spotPixel && !(used.spotGreyPoint = PickSpot(photo, *spotPixel, reason))) return 0;
    const std::shared_ptr<const CorrectionPlan> plan = CompilePlan(used);
    // The photo as loaded is not needed again: correcting it in place saves a full-size buffer.
    const bool corrected = plan && ApplyAdjustmentsInPlace(*plan, &photo);
    timings.pipelineMs = MillisecondsSince(start);
    if (!corrected) {
        reason = "not enough memory to correct the photo";
        return 0;
    }

    start = std::chrono::steady_clock::now();
    if (!SavePhoto(output.c_str(), &photo, &error, &origin, &save)) {
        reason = "cannot save " + output + ": " + error.text;
        return 0;
    }
    timings.saveMs = MillisecondsSince(start);
    return 1;
}

unsigned DefaultPhotoJobs() {
    // The memory the system can give without swapping, as its own accounting has it.
    uint64_t availableKb = 0;
    std::ifstream meminfo("/proc/meminfo");
    for (std::string key; meminfo >> key;) {
        if (key == "MemAvailable:") {
            meminfo >> availableKb;
            break;
        }
        meminfo.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    const uint64_t fitting = availableKb * 1024 / kPhotoInFlightBytes;
    return static_cast<unsigned>(
        std::clamp<uint64_t>(fitting, 1, std::max(WorkerPool::ProcessorCount(), 1u)));
}

size_t CorrectPhotoFiles(const CorrectionSettings& settings,
                         const std::optional<SpotPixel>& spotPixel,
                         const std::vector<PlannedPhoto>& plan, unsigned jobs,
                         const std::function<void(size_t, const PhotoOutcome&)>& report,
                         const PhotoLoadLimits& limits, const SaveOptions& save,
                         const std::atomic<bool>* cancel) {
    // One reference for the whole run: the photos' own ones then never build or tear down.
    const EngineReference engine;
    std::vector<PhotoOutcome> outcomes(plan.size());
    return RunInOrder(
        plan.size(), jobs,
        [&](size_t k) {
            PhotoOutcome& outcome = outcomes[k];
            outcome.saved = CorrectPhotoFile(settings, spotPixel, plan[k], outcome.timings,
                                             outcome.reason, limits, save);
        },
        [&](size_t k) {
            report(k, outcomes[k]);
            outcomes[k] = {};
        },
        [&] { return cancel == nullptr || !cancel->load(); });
}

std::optional<GreyPoint> MeasureSpotGreyPoint(const std::string& path, SpotPixel pixel,
                                              std::string& reason) {
    CImgBuff photo;
    if (!Load(path, {}, photo, reason)) return std::nullopt;
    return PickSpot(photo, pixel, reason);
}
