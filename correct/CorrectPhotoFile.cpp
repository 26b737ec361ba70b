#include "correct/CorrectPhotoFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

#include "adjust/Pipeline.h"
#include "adjust/SourcePhoto.h"
#include "imageio/JpegDecoder.h"
#include "imageio/PhotoFormats.h"
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

// Loads the photo at path turned as turn says.
int Load(const std::string& path, const PhotoLoadLimits& limits, ImageTurn turn, CImgBuff& photo,
         PhotoProblem& problem, PhotoOrigin* origin = nullptr) {
    if (!LoadPhoto(path.c_str(), &photo, &problem.error, limits, origin)) {
        problem.kind = PhotoProblem::Kind::Load;
        return 0;
    }
    if (turn.IsNone()) return 1;
    CImgBuff turned;
    if (!TurnImage(*photo.buffer, turn, turned.buffer)) {
        problem.kind = PhotoProblem::Kind::NoMemory;
        return 0;
    }
    photo.buffer->Swap(*turned.buffer);
    return 1;
}

// The spot grey point around pixel, as a click there takes it.
std::optional<GreyPoint> PickSpot(const CImgBuff& photo, SpotPixel pixel, PhotoProblem& problem) {
    const C_ImgBuff& pixels = *photo.buffer;
    if (std::optional<GreyPoint> grey = SpotGreyPointAt(pixels, pixel.x, pixel.y)) return grey;
    problem.kind = PhotoProblem::Kind::SpotOutside;
    problem.detail = std::to_string(pixel.x) + "," + std::to_string(pixel.y) +
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

enum class Streaming { Saved, Failed, NotTaken };

// Bands as the saver asks for them.
constexpr int32_t kBandRows = static_cast<int32_t>(kJpegBandRows);

// The bands of a JPEG from the top, read on a thread of their own up to kAhead ahead of the one
// taken: decoding runs on one thread, and so overlaps the work on the band before. Without a
// thread they are read as they are taken.
class BandsAhead {
    static constexpr int32_t kAhead = 2;

  public:
    explicit BandsAhead(JpegBandReader& reader) : reader_(reader) {
        try {
            thread_ = std::thread([this] { ReadAll(); });
        } catch (const std::system_error&) {
        }
    }
    ~BandsAhead() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

    // Puts the next band into band (its buffer goes to the reader); false when none is left or it
    // could not be read (damaged, or memory short).
    bool Take(C_ImgBuff* band) {
        if (!thread_.joinable()) return Read(taken_++, band);
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return read_ > taken_ || ended_; });
        if (read_ <= taken_) return false;
        band->Swap(slots_[taken_++ % kAhead]);
        guard.unlock();
        changed_.notify_all();
        return true;
    }

  private:
    bool Read(int32_t index, C_ImgBuff* band) {
        const int32_t first = index * kBandRows, height = reader_.Height();
        if (first >= height) return false;
        const int32_t rows = std::min(kBandRows, height - first);
        return (band->height == rows || band->Create(reader_.Width(), rows, PT_HSV16)) &&
               reader_.Read(band);
    }

    void ReadAll() {
        for (int32_t index = 0;; ++index) {
            {
                std::unique_lock<std::mutex> guard(lock_);
                changed_.wait(guard, [&] { return index < taken_ + kAhead || stop_; });
                if (stop_) break;
            }
            // The slot is the reader's alone until read_ counts it.
            if (!Read(index, &slots_[index % kAhead])) break;
            std::lock_guard<std::mutex> guard(lock_);
            read_ = index + 1;
            changed_.notify_all();
        }
        std::lock_guard<std::mutex> guard(lock_);
        ended_ = true;
        changed_.notify_all();
    }

    JpegBandReader& reader_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    C_ImgBuff slots_[kAhead];
    int32_t read_ = 0;   // bands read into the slots
    int32_t taken_ = 0;  // bands taken
    bool ended_ = false;
    bool stop_ = false;
};

PhotoProblem Unsaved(const std::string& output, const PhotoError& error) {
    PhotoProblem problem;
    problem.kind = PhotoProblem::Kind::Save;
    problem.error = error;
    problem.output = output;
    return problem;
}

// Says in warnings (may be null) what the output lacks of the source's metadata.
void WarnMetadataLeftOut(const PhotoOrigin& origin, const SaveOptions& save,
                         const std::string& output, PhotoWarnings* warnings) {
    if (warnings == nullptr) return;
    warnings->metadataLost =
        MetadataLeftOut(origin, save.keepMetadata, *WrittenPhotoFormat(output.c_str()));
}

// Corrects an upright JPEG saved as a JPEG band by band, never holding the whole photo: each band
// is decoded, corrected and encoded while the next is made, and the automatic white balance's
// grey point is measured on a decoding of its own beforehand. The pixels and the file are those
// the whole photo gives. NotTaken (nothing written, problem untouched) when the photo is no such
// JPEG, is to be turned (a band would then be a column), or turns out damaged: the whole photo's
// road then decides.
Streaming CorrectBandByBand(const CorrectionSettings& settings, const PlannedPhoto& planned,
                            PhotoTimings& timings, PhotoProblem& problem,
                            const PhotoLoadLimits& limits, const SaveOptions& save,
                            PhotoWarnings* warnings) {
    if (WrittenPhotoFormat(planned.output.c_str())->encoder != PhotoEncoder::Jpeg ||
        !settings.turn.IsNone())
        return Streaming::NotTaken;
    auto start = std::chrono::steady_clock::now();
    PhotoError error;
    const FileDescriptor fd(OpenPhotoFile(planned.input.c_str(), &error));
    JpegBandReader reader;
    if (fd.get() < 0 || reader.Open(fd.get(), limits, &error) != JpegDecoding::Decoded)
        return Streaming::NotTaken;
    const int32_t width = reader.Width(), height = reader.Height();
    const std::shared_ptr<const CorrectionPlan> plan = CompilePlan(settings);
    std::shared_ptr<ColorCache> automatic;
    if (plan && plan->settings.wbMode == WhiteBalanceMode::Automatic) {
        const std::unique_ptr<GreyPointMeter> meter = AutomaticWhiteBalanceMeter(width, height);
        {
            BandsAhead bands(reader);
            C_ImgBuff band;
            int32_t first = 0;
            for (; bands.Take(&band); first += band.height) meter->AddRows(band, first);
            if (first != height) return Streaming::NotTaken;
        }
        automatic = AutomaticWhiteBalance(*meter);
        if (reader.Open(fd.get(), limits, &error) != JpegDecoding::Decoded)
            return Streaming::NotTaken;
    }
    ColorCache* whiteBalance = nullptr;
    if (!plan || !ChooseWhiteBalance(*plan, automatic.get(), &whiteBalance)) {
        problem.kind = PhotoProblem::Kind::NoMemory;
        return Streaming::Failed;
    }
    PhotoOrigin origin;
    ReadPhotoMetadata(fd.get(), &origin);
    timings.loadMs = MillisecondsSince(start);

    start = std::chrono::steady_clock::now();
    double decodingMs = 0;
    bool damaged = false, corrected = true;
    BandsAhead bands(reader);
    const int saved = SavePhotoBands(
        planned.output.c_str(), width, height,
        [&](int32_t, int32_t count, C_ImgBuff* band, PhotoError* failure) {
            auto begun = std::chrono::steady_clock::now();
            damaged = !bands.Take(band) || band->height != count;
            decodingMs += MillisecondsSince(begun);
            begun = std::chrono::steady_clock::now();
            corrected = !damaged && ApplyAdjustmentsToBand(*plan, whiteBalance, band);
            timings.pipelineMs += MillisecondsSince(begun);
            if (corrected) return 1;
            SetPhotoError(failure, PhotoFailure::NotEnoughMemory, "not enough memory");
            return 0;
        },
        &error, &origin, &save);
    if (damaged) return Streaming::NotTaken;
    timings.loadMs += decodingMs;
    timings.saveMs = MillisecondsSince(start) - decodingMs - timings.pipelineMs;
    if (saved) {
        WarnMetadataLeftOut(origin, save, planned.output, warnings);
        return Streaming::Saved;
    }
    if (corrected) {
        problem = Unsaved(planned.output, error);
    } else {
        problem.kind = PhotoProblem::Kind::NoMemory;
    }
    return Streaming::Failed;
}

}  // namespace

std::vector<PlannedPhoto> PlanPhotos(const std::vector<std::string>& inputs,
                                     const std::string& output, const std::string& folder,
                                     const std::string& format,
                                     const std::vector<std::string>& names) {
    std::vector<PlannedPhoto> plan;
    std::vector<std::pair<FileIdentity, size_t>> inputIds;
    for (size_t k = 0; k < inputs.size(); ++k) {
        const std::string& input = inputs[k];
        const fs::path name = k < names.size() ? fs::path(names[k]) : fs::path(input).stem();
        const std::string target =
            folder.empty() ? output : (fs::path(folder) / name).string() + "." + format;
        plan.push_back({input, target, {}});
        if (std::optional<FileIdentity> id = Identify(input); id && id->name.empty()) {
            inputIds.emplace_back(*id, k);
        }
    }
    std::vector<std::pair<FileIdentity, size_t>> outputs;
    for (size_t k = 0; k < plan.size(); ++k) {
        const std::optional<FileIdentity> id = Identify(plan[k].output);
        if (!id) continue;
        PhotoProblem& refusal = plan[k].refusal;
        refusal.output = plan[k].output;
        for (const auto& [input, index] : inputIds) {
            if (input == *id) {
                refusal.kind = PhotoProblem::Kind::OverwritesInput;
                if (index != k) refusal.other = plan[index].input;
                break;
            }
        }
        for (const auto& [earlier, index] : outputs) {
            if (refusal.kind == PhotoProblem::Kind::None && earlier == *id) {
                refusal.kind = PhotoProblem::Kind::OverwritesEarlierOutput;
                refusal.other = plan[index].input;
            }
        }
        if (refusal.kind == PhotoProblem::Kind::None) outputs.emplace_back(*id, k);
    }
    return plan;
}

bool OutputIsThere(const PlannedPhoto& photo) {
    std::error_code absent;
    return fs::exists(fs::symlink_status(photo.output, absent));
}

void RefuseExistingOutputs(std::vector<PlannedPhoto>& plan) {
    for (PlannedPhoto& photo : plan) {
        if (photo.refusal.kind == PhotoProblem::Kind::None && !photo.skip && OutputIsThere(photo)) {
            photo.refusal.kind = PhotoProblem::Kind::OutputExists;
            photo.refusal.output = photo.output;
        }
    }
}

int CorrectPhotoFile(const CorrectionSettings& settings, const std::optional<SpotPixel>& spotPixel,
                     const PlannedPhoto& planned, PhotoTimings& timings, PhotoProblem& problem,
                     const PhotoLoadLimits& limits, const SaveOptions& asked,
                     PhotoWarnings* warnings) {
    SaveOptions save = asked;
    if (save.quality == kSourceQuality) {
        PhotoError error;
        const FileDescriptor fd(OpenPhotoFile(planned.input.c_str(), &error));
        save.quality = fd.get() < 0 ? -1 : SourceJpegQuality(fd.get());
    }
    if (planned.refusal.kind != PhotoProblem::Kind::None) {
        problem = planned.refusal;
        return 0;
    }
    const std::string& input = planned.input;
    const std::string& output = planned.output;
    // The output's folder, name and kind are checked before the photo is read.
    PhotoError error;
    if (!CheckSaveTarget(output.c_str(), nullptr, &error)) {
        problem = Unsaved(output, error);
        return 0;
    }
    const EngineReference engine;
    // A spot measured on each photo needs the photo's pixels around it first.
    if (!spotPixel) {
        switch (CorrectBandByBand(settings, planned, timings, problem, limits, save, warnings)) {
            case Streaming::Saved:
                return 1;
            case Streaming::Failed:
                return 0;
            case Streaming::NotTaken:
                timings = {};
                break;
        }
    }
    auto start = std::chrono::steady_clock::now();
    PhotoOrigin origin;
    CImgBuff photo;
    if (!Load(input, limits, settings.turn, photo, problem, &origin)) return 0;
    timings.loadMs = MillisecondsSince(start);
    if (warnings) warnings->damagedRows = origin.damagedRows;
    if (!CheckSaveSize(output.c_str(), photo.buffer->width, photo.buffer->height, &error)) {
        problem = Unsaved(output, error);
        return 0;
    }

    start = std::chrono::steady_clock::now();
    CorrectionSettings used = settings;
    if (spotPixel && !(used.spotGreyPoint = PickSpot(photo, *spotPixel, problem))) return 0;
    const std::shared_ptr<const CorrectionPlan> plan = CompilePlan(used);
    // The photo as loaded is not needed again: correcting it in place saves a full-size buffer.
    const bool corrected = plan && ApplyAdjustmentsInPlace(*plan, &photo);
    timings.pipelineMs = MillisecondsSince(start);
    if (!corrected) {
        problem.kind = PhotoProblem::Kind::NoMemory;
        return 0;
    }

    start = std::chrono::steady_clock::now();
    if (!SavePhoto(output.c_str(), &photo, &error, &origin, &save)) {
        problem = Unsaved(output, error);
        return 0;
    }
    timings.saveMs = MillisecondsSince(start);
    WarnMetadataLeftOut(origin, save, output, warnings);
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
            outcome.skipped = plan[k].skip;
            if (!outcome.skipped) {
                outcome.saved = CorrectPhotoFile(settings, spotPixel, plan[k], outcome.timings,
                                                 outcome.problem, limits, save, &outcome.warnings);
            }
        },
        [&](size_t k) {
            report(k, outcomes[k]);
            outcomes[k] = {};
        },
        [&] { return cancel == nullptr || !cancel->load(); });
}

std::optional<GreyPoint> MeasureSpotGreyPoint(const std::string& path, SpotPixel pixel,
                                              ImageTurn turn, PhotoProblem& problem) {
    CImgBuff photo;
    if (!Load(path, {}, turn, photo, problem)) return std::nullopt;
    return PickSpot(photo, pixel, problem);
}

std::string PhotoWarningsText(const PhotoWarnings& warnings) {
    std::string text;
    if (warnings.damagedRows > 0)
        text = "the lower " + std::to_string(warnings.damagedRows) + " rows are damaged";
    for (const MetadataLoss& lost : warnings.metadataLost)
        text += (text.empty() ? "" : "; ") + lost.text;
    return text;
}

std::string PhotoProblemText(const PhotoProblem& problem) {
    const std::string its = "its output " + problem.output;
    switch (problem.kind) {
        case PhotoProblem::Kind::None:
            return "";
        case PhotoProblem::Kind::Load:
            return problem.error.text;
        case PhotoProblem::Kind::Save:
            return "cannot save " + problem.output + ": " + problem.error.text;
        case PhotoProblem::Kind::NoMemory:
            return "not enough memory to correct the photo";
        case PhotoProblem::Kind::SpotOutside:
            return "the spot " + problem.detail;
        case PhotoProblem::Kind::OverwritesInput:
            return its + " would overwrite " +
                   (problem.other.empty() ? "its own input" : "the input " + problem.other);
        case PhotoProblem::Kind::OverwritesEarlierOutput:
            return its + " would overwrite the output of the earlier photo " + problem.other;
        case PhotoProblem::Kind::OutputExists:
            return its + " is there already: --overwrite replaces it, --skip-existing leaves it";
    }
    return "";
}
