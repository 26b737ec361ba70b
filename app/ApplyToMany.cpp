#include "app/ApplyToMany.h"

#include <QFile>

#include <filesystem>

#include "correct/CorrectPhotoFile.h"

namespace fs = std::filesystem;

ApplyToManyRun::ApplyToManyRun(const CorrectionSettings& settings,
                               const ApplyToManyRequest& request)
    : settings(settings), request(request) {}

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
    const std::vector<PlannedPhoto> plan =
        PlanPhotos(request.photos, {}, request.folder, request.format);
    for (size_t k = 0; k < plan.size(); ++k) {
        if (cancelRequested) {
            cancelled = true;
            break;
        }
        const PlannedPhoto& photo = plan[k];
        emit photoStarted(static_cast<int>(k), static_cast<int>(plan.size()),
                          QFile::decodeName(QByteArray::fromStdString(
                              fs::path(photo.input).filename().string())));
        std::string reason;
        PhotoTimings timings;
        if (CorrectPhotoFile(settings, std::nullopt, photo, timings, reason)) {
            ++saved;
            continue;
        }
        failures.push_back({photo.input, reason});
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
