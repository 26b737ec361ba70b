// Correcting one photo file with given settings: load, adjust at full resolution, save. The
// batch tool and the window's apply-to-many both take this road, so the same settings give the
// same pixels whichever started it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "correct/CorrectionSettings.h"
#include "imageio/PhotoFile.h"
#include "imageio/PhotoMetadata.h"
#include "imageio/PhotoSaver.h"

struct PhotoTimings {
    double loadMs = 0;
    double pipelineMs = 0;
    double saveMs = 0;
};

// A photo pixel around which a spot white balance is measured on each photo, as the photo stands
// once turned.
struct SpotPixel {
    int32_t x = 0;
    int32_t y = 0;
};

// Why a photo was not corrected. The batch tool says it in English (PhotoProblemText), the
// window in its own words.
struct PhotoProblem {
    enum class Kind {
        None,
        Load,                     // the input cannot be loaded: error says why
        Save,                     // the output cannot be saved: error says why
        NoMemory,                 // not enough memory to turn or correct the photo
        SpotOutside,              // the spot pixel lies outside the photo (detail: both)
        OverwritesInput,          // the output is an input of the run: other, or its own
        OverwritesEarlierOutput,  // the output is that of the earlier photo other
        OutputExists,             // the output is there already and may not be replaced
    };
    Kind kind = Kind::None;
    PhotoError error;
    std::string output;
    std::string other;
    std::string detail;
};

// The problem in English, naming the output where it is at fault.
std::string PhotoProblemText(const PhotoProblem& problem);

// What a saved photo lacks: its lower rows, damaged and filled, and metadata left out.
struct PhotoWarnings {
    int32_t damagedRows = 0;
    std::vector<MetadataLoss> metadataLost;
    bool Empty() const { return damagedRows == 0 && metadataLost.empty(); }
};

// The warnings in English, "; " between them.
std::string PhotoWarningsText(const PhotoWarnings& warnings);

struct PlannedPhoto {
    std::string input;
    std::string output;
    PhotoProblem refusal;  // why the photo is not corrected at all, decided before any work
    bool skip = false;     // its output is there already and is to be left alone
};

// Pairs each input with its output: output for a single input when folder is empty, otherwise
// folder/NAME.format, NAME being names[k] (a path under folder) or else the input's stem. Every
// input and output is resolved on disk before any photo is touched, so that no output can replace
// an input of the run or the output of an earlier photo, however either is spelt; such a photo
// gets a refusal instead.
std::vector<PlannedPhoto> PlanPhotos(const std::vector<std::string>& inputs,
                                     const std::string& output, const std::string& folder,
                                     const std::string& format,
                                     const std::vector<std::string>& names = {});

// Whether the planned photo's output is there already (a link, even to nothing, counts).
bool OutputIsThere(const PlannedPhoto& photo);

// Refuses each photo of plan, not already refused or skipped, whose output is there already: a
// photo of the user's, which a run replaces only when told to. The save options'
// replaceExisting set to false then also keeps a file that appears meanwhile.
void RefuseExistingOutputs(std::vector<PlannedPhoto>& plan);

// Loads the planned photo's input within limits, turns it and gives it settings (with spotPixel,
// the spot grey point is measured on this photo instead of taken from settings), runs the
// full-resolution pipeline and saves to its output as save says, with the input's metadata and
// colour profile; the output's target and the size its format holds are checked before the pipeline
// runs. A JPEG quality of kSourceQuality takes the input's own. Returns 1 saved; 0 with problem
// set otherwise, the plan's refusal for a refused photo. A photo saved though damaged
// (limits.allowDamaged), or without some of its metadata, says so in warnings (may be null).
int CorrectPhotoFile(const CorrectionSettings& settings, const std::optional<SpotPixel>& spotPixel,
                     const PlannedPhoto& planned, PhotoTimings& timings, PhotoProblem& problem,
                     const PhotoLoadLimits& limits = {}, const SaveOptions& save = {},
                     PhotoWarnings* warnings = nullptr);

// What correcting one planned photo came to.
struct PhotoOutcome {
    bool skipped = false;  // planned to be left alone: neither saved nor failed
    int saved = 0;
    PhotoProblem problem;    // when not saved
    PhotoWarnings warnings;  // when saved
    PhotoTimings timings;
};

// Memory one photo in flight is allowed for when choosing how many go at once: a 24-megapixel
// photo holds about half of it at its peak.
inline constexpr uint64_t kPhotoInFlightBytes = uint64_t{400} << 20;

// How many photos go at once by default: one per processor, as far as the memory available holds
// kPhotoInFlightBytes for each; at least one.
unsigned DefaultPhotoJobs();

// CorrectPhotoFile for every planned photo, up to jobs of them at once (one photo's decoding and
// encoding, which run on one thread, overlap another's pixel passes), each result handed to
// report on the calling thread in the plan's order. No photo is started once cancel (may be
// null) is set. Returns how many photos were reported: all, unless cancelled.
size_t CorrectPhotoFiles(const CorrectionSettings& settings,
                         const std::optional<SpotPixel>& spotPixel,
                         const std::vector<PlannedPhoto>& plan, unsigned jobs,
                         const std::function<void(size_t, const PhotoOutcome&)>& report,
                         const PhotoLoadLimits& limits = {}, const SaveOptions& save = {},
                         const std::atomic<bool>* cancel = nullptr);

// The spot grey point measured on the photo at path turned by turn around pixel, as a spot click
// there would take it; nullopt with problem set when the photo cannot be loaded or pixel lies
// outside it.
std::optional<GreyPoint> MeasureSpotGreyPoint(const std::string& path, SpotPixel pixel,
                                              ImageTurn turn, PhotoProblem& problem);
