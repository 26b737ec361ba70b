#include "tools/lumivex-batch/BatchRun.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <vector>

#include "imageio/PhotoFolder.h"
#include "imageio/PhotoFormats.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoSaver.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kVersion = "lumivex-batch " LUMIVEX_VERSION;

// The problem in words, with the option that raises a limit the photo is over.
std::string ProblemText(const PhotoProblem& problem, const BatchOptions& options) {
    std::string text = PhotoProblemText(problem);
    if (problem.kind == PhotoProblem::Kind::Load &&
        problem.error.failure == PhotoFailure::TooManyPixels &&
        uint64_t(options.maxMegapixels) * 1'000'000 < kMaxHoldablePixels)
        text += " (--max-megapixels raises the limit)";
    return text;
}

// Checked before any photo is loaded, against the saver's own formats.
bool IsSavableExtension(const std::string& path) {
    return WrittenPhotoFormat(path.c_str()) != nullptr;
}

// Prints the settings file the options make; 0, or 1 when the spot grey point cannot be measured.
int PrintSettings(const BatchOptions& options, FILE* out, FILE* err) {
    CorrectionSettings settings = options.settings;
    if (options.spotPixel) {
        PhotoProblem problem;
        settings.spotGreyPoint =
            MeasureSpotGreyPoint(options.inputs[0], *options.spotPixel, settings.turn, problem);
        if (!settings.spotGreyPoint) {
            std::fprintf(err, "lumivex-batch: %s: %s\n", options.inputs[0].c_str(),
                         ProblemText(problem, options).c_str());
            return 1;
        }
    }
    std::fputs(SettingsToText(settings).c_str(), out);
    return 0;
}

// Writes count bytes to fd across short writes and interruptions; false with errno set.
bool WriteAll(int fd, const char* bytes, size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// Copies standard input into an unnamed file in memory (the loader takes regular files only);
// the descriptor, or -1 with errno set.
int CopyStandardInput() {
    const int fd = memfd_create("lumivex-batch-input", MFD_CLOEXEC);
    if (fd < 0) return -1;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got == 0) return fd;
        if ((got < 0 && errno != EINTR) ||
            (got > 0 && !WriteAll(fd, buffer, static_cast<size_t>(got)))) {
            const int cause = errno;
            close(fd);
            errno = cause;
            return -1;
        }
    }
}

// Copies the saved photo at path to out, a piece at a time however large it is; 0, or 1 with the
// cause said on err.
int CopyToOutput(const std::string& path, FILE* out, FILE* err) {
    std::ifstream in(path, std::ios::binary);
    char piece[65536];
    bool copied = true;
    while (copied && (in.read(piece, sizeof piece) || in.gcount() > 0)) {
        const auto size = static_cast<size_t>(in.gcount());
        copied = std::fwrite(piece, 1, size, out) == size;
    }
    if (!in.is_open() || !copied || in.bad() || std::fflush(out) != 0) {
        std::fprintf(err, "lumivex-batch: cannot write standard output: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

// A photo of the run: its file, and the subfolder of --out-dir its output goes to.
struct RunPhoto {
    std::string path;
    fs::path subfolder;
};

// Adds the photos of folder (a subfolder of a folder INPUT, under) in name order, with recursive
// those of its subfolders. False with error when a folder cannot be read.
bool AddFolder(const fs::path& folder, const fs::path& under, bool recursive,
               std::vector<RunPhoto>* photos, std::string* error) {
    std::vector<FolderEntry> entries;
    std::string reason;
    if (!ListPhotoFolder(folder.string(), &entries, &reason)) {
        *error = "cannot read the folder " + folder.string() + ": " + reason;
        return false;
    }
    bool read = true;
    for (const FolderEntry& entry : entries) {
        const fs::path path(entry.path);
        if (!entry.folder)
            photos->push_back({entry.path, under});
        else if (recursive)
            read = AddFolder(path, under / path.filename(), recursive, photos, error) && read;
    }
    return read;
}

// The output name PATTERN gives the photo numbered n (1 up) of count.
std::string OutputName(const std::string& pattern, const std::string& path, size_t n,
                       size_t count) {
    const fs::path file(path);
    std::string number = std::to_string(n);
    number.insert(0, std::to_string(count).size() - number.size(), '0');
    const std::string extension = file.extension().string();
    const std::pair<std::string, std::string> fields[] = {
        {"{stem}", file.stem().string()},
        {"{ext}", extension.empty() ? extension : extension.substr(1)},
        {"{n}", number}};
    std::string name;
    for (size_t at = 0; at < pattern.size();) {
        bool filled = false;
        for (const auto& [field, value] : fields) {
            if (pattern.compare(at, field.size(), field) == 0) {
                name += value;
                at += field.size();
                filled = true;
                break;
            }
        }
        if (!filled) name += pattern[at++];
    }
    return name;
}

}  // namespace

int RunBatch(int argc, const char* const* argv, FILE* out, FILE* err) {
    std::string error;
    std::optional<BatchOptions> parsed = ParseBatchOptions(argc, argv, error);
    if (!parsed) {
        std::fprintf(err, "lumivex-batch: %s\nTry 'lumivex-batch --help'.\n", error.c_str());
        return 2;
    }
    BatchOptions& options = *parsed;
    if (options.help) {
        std::fputs(BatchUsage().c_str(), out);
        return 0;
    }
    if (options.version) {
        std::fprintf(out, "%s\n", kVersion);
        return 0;
    }
    for (const std::string& warning : SettingsWarningLines(options.settingsWarnings))
        std::fprintf(err, "lumivex-batch: warning: --settings: %s\n", warning.c_str());
    if (options.printSettings) return PrintSettings(options, out, err);
    if (options.settings.wbMode == WhiteBalanceMode::Spot && !options.settings.spotGreyPoint &&
        !options.spotPixel) {
        std::fprintf(err,
                     "lumivex-batch: warning: spot white balance without a grey point leaves the "
                     "colours as they are; give --wb spot:X,Y\n");
    }
    // The standard streams become files: the input one in memory, the output one in a private
    // folder, copied out once saved.
    std::string standardInput;
    std::optional<FileDescriptor> standardInputFile;
    const auto input = std::find(options.inputs.begin(), options.inputs.end(), kStandardStream);
    if (input != options.inputs.end()) {
        const int fd = CopyStandardInput();
        if (fd < 0) {
            std::fprintf(err, "lumivex-batch: cannot read standard input: %s\n", strerror(errno));
            return 1;
        }
        standardInputFile.emplace(fd);
        standardInput = "/proc/self/fd/" + std::to_string(fd);
        *input = standardInput;
    }
    fs::path outputFolder;
    if (options.output == kStandardStream) {
        std::string folder = (fs::temp_directory_path() / "lumivex-batch-XXXXXX").string();
        if (mkdtemp(folder.data()) == nullptr) {
            std::fprintf(err, "lumivex-batch: cannot make a folder for standard output: %s\n",
                         strerror(errno));
            return 1;
        }
        outputFolder = folder;
        options.output = (outputFolder / ("output." + options.format)).string();
    }
    // Timings stay off standard output when the photo goes there.
    FILE* told = outputFolder.empty() ? out : err;
    const auto shown = [&](const std::string& path) {
        return path == standardInput ? std::string(kStandardStream) : path;
    };

    if (options.outDir.empty() && !IsSavableExtension(options.output)) {
        std::fprintf(err, "lumivex-batch: OUTPUT must end in %s\nTry 'lumivex-batch --help'.\n",
                     JoinWords(WrittenExtensions(true, "."), ", ", " or ").c_str());
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
    std::vector<RunPhoto> photos;
    for (const std::string& input : options.inputs) {
        std::error_code failed;
        if (options.outDir.empty() || !fs::is_directory(input, failed)) {
            photos.push_back({input, {}});
        } else if (!AddFolder(input, {}, options.recursive, &photos, &error)) {
            std::fprintf(err, "lumivex-batch: %s\n", error.c_str());
            status = 1;
        }
    }
    std::vector<std::string> inputs, names;
    for (size_t k = 0; k < photos.size(); ++k) {
        inputs.push_back(photos[k].path);
        names.push_back((photos[k].subfolder /
                         OutputName(options.namePattern,
                                    photos[k].path == standardInput ? "stdin" : photos[k].path,
                                    k + 1, photos.size()))
                            .string());
        std::error_code created;
        const fs::path subfolder = fs::path(options.outDir) / photos[k].subfolder;
        if (!options.outDir.empty() && !photos[k].subfolder.empty() &&
            !fs::create_directories(subfolder, created) && created) {
            std::fprintf(err, "lumivex-batch: cannot make the folder %s\n", subfolder.c_str());
            return 1;
        }
    }
    PhotoLoadLimits limits;
    limits.maxPixels = static_cast<uint64_t>(options.maxMegapixels) * 1'000'000;
    limits.allowDamaged = options.allowDamaged;
    std::vector<PlannedPhoto> plan =
        PlanPhotos(inputs, options.output, options.outDir, options.format, names);
    for (PlannedPhoto& photo : plan) {
        photo.skip = options.skipExisting && photo.refusal.kind == PhotoProblem::Kind::None &&
                     OutputIsThere(photo);
    }
    // An OUTPUT named alone is the user's choice; a made name under --out-dir may meet a photo of
    // theirs (the input folder itself, another format's file beside an input).
    options.save.replaceExisting = options.outDir.empty() || options.overwrite;
    if (!options.save.replaceExisting) RefuseExistingOutputs(plan);
    size_t saved = 0, failed = 0, skipped = 0;
    const unsigned jobs = options.jobs != 0 ? options.jobs : DefaultPhotoJobs();
    CorrectPhotoFiles(
        options.settings, options.spotPixel, plan, jobs,
        [&](size_t k, const PhotoOutcome& outcome) {
            const std::string input = shown(plan[k].input);
            if (plan.size() > 1 && !options.quiet)
                std::fprintf(err, "[%zu/%zu] %s\n", k + 1, plan.size(), input.c_str());
            if (outcome.skipped) {
                ++skipped;
                if (!options.quiet)
                    std::fprintf(err, "%s is there already: left alone\n", plan[k].output.c_str());
            } else if (!outcome.saved) {
                ++failed;
                std::fprintf(err, "lumivex-batch: %s: %s\n", input.c_str(),
                             ProblemText(outcome.problem, options).c_str());
                status = 1;
            } else {
                ++saved;
                if (!outcome.warnings.Empty())
                    std::fprintf(err, "lumivex-batch: warning: %s: %s\n", input.c_str(),
                                 PhotoWarningsText(outcome.warnings).c_str());
                if (options.timings) {
                    std::fprintf(told, "%s: load %.1f ms, pipeline %.1f ms, save %.1f ms\n",
                                 input.c_str(), outcome.timings.loadMs, outcome.timings.pipelineMs,
                                 outcome.timings.saveMs);
                }
            }
        },
        limits, options.save);
    if (plan.size() > 1 && !options.quiet)
        std::fprintf(err, "%zu saved, %zu failed, %zu skipped\n", saved, failed, skipped);
    if (!outputFolder.empty()) {
        if (saved == 1) status = CopyToOutput(options.output, out, err);
        std::error_code removed;
        fs::remove_all(outputFolder, removed);
    }
    return status;
}
