#include "app/ApplyToMany.h"

#include <QFile>

#include <filesystem>
#include <set>

#include "correct/CorrectPhotoFile.h"

namespace fs = std::filesystem;

ApplyToManyRun::ApplyToManyRun(const CorrectionSettings& settings,
                               const ApplyToManyRequest& request,
                               std::function<void(size_t k)> beforePhoto)
    : settings(settings), request(request), beforePhoto(std::move(beforePhoto)) {}

ApplyToManyRun::~ApplyToManyRun() {
    Cancel();
    if (worker.joinable()) worker.join();
}

void ApplyToManyRun::Start() {
    worker = std::thread([this] { Run(); });
}

void ApplyToManyRun::Cancel() {
    cancelRequested = true;
}

void ApplyToManyRun::Run() {
    const size_t count = request.photos.size();
    std::set<std::string> outputs;
    for (size_t k = 0; k < count; ++k) {
        if (beforePhoto) beforePhoto(k);
        if (cancelRequested) {
            cancelled = true;
            break;
        }
        const std::string& input = request.photos[k];
        emit photoStarted(
            static_cast<int>(k), static_cast<int>(count),
            QFile::decodeName(QByteArray::fromStdString(fs::path(input).filename().string())));
        const std::string output =
            (fs::path(request.folder) / fs::path(input).stem()).string() + "." + request.format;
        std::string reason;
        PhotoTimings timings;
        // Two photos of one name (a.jpg, a.tif) would write one output; the first keeps it.
        if (!outputs.insert(fs::path(output).lexically_normal().string()).second) {
            reason = "its output " + output + " was already written from an earlier photo";
        } else if (CorrectPhotoFile(settings, std::nullopt, input, output, timings, reason)) {
            ++saved;
            continue;
        }
        failures.push_back({input, reason});
    }
    emit finished();
}

std::string ApplyToManySummary(const ApplyToManyRun& run) {
    std::string text;
    if (run.Cancelled()) text = "キャンセルしました。";
    text += std::to_string(run.SavedCount()) + " 枚の写真を保存しました。";
    if (run.Failures().empty()) return text;
    text += "\n\n保存できなかった写真 (" + std::to_string(run.Failures().size()) + " 枚):";
    for (const ApplyToManyRun::Failure& failure : run.Failures()) {
        text += "\n" + QFile::decodeName(QByteArray::fromStdString(failure.photo)).toStdString() +
                ": " + failure.reason;
    }
    return text;
}
