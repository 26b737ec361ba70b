#include "app/ApplyToMany.h"

#include <QFile>

#include <filesystem>

#include "app/Resources.h"
#include "correct/CorrectPhotoFile.h"

namespace fs = std::filesystem;

ApplyToManyRun::ApplyToManyRun(const CorrectionSettings& settings,
                               std::vector<PlannedPhoto> plannedPhotos, bool replace)
    : settings(settings), plan(std::move(plannedPhotos)), replaceExisting(replace) {}

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
    auto announce = [&](size_t k) {
        emit photoStarted(static_cast<int>(k), static_cast<int>(plan.size()),
                          QFile::decodeName(QByteArray::fromStdString(
                              fs::path(plan[k].input).filename().string())));
    };
    // Photos overlap; the one announced is the first not yet finished.
    if (!plan.empty() && !cancelRequested) announce(0);
    const size_t reported = CorrectPhotoFiles(
        settings, std::nullopt, plan, DefaultPhotoJobs(),
        [&](size_t k, const PhotoOutcome& outcome) {
            if (outcome.saved) {
                ++saved;
                if (!outcome.warnings.Empty())
                    warnings.push_back({plan[k].input, PhotoWarningsJapanese(outcome.warnings)});
            } else {
                failures.push_back({plan[k].input, ApplyFailureText(outcome.problem)});
            }
            if (k + 1 < plan.size() && !cancelRequested) announce(k + 1);
        },
        {}, SaveOptions{.replaceExisting = replaceExisting}, &cancelRequested);
    cancelled = reported < plan.size();
    emit finished();
}

std::string ApplyToManySummary(const ApplyToManyRun& run) {
    std::string text;
    if (run.Cancelled()) text = "キャンセルしました。";
    text += std::to_string(run.SavedCount()) + " 枚の写真を保存しました。";
    const auto list = [&text](const char* title,
                              const std::vector<ApplyToManyRun::Failure>& photos) {
        if (photos.empty()) return;
        text += "\n\n" + std::string(title) + " (" + std::to_string(photos.size()) + " 枚):";
        for (const ApplyToManyRun::Failure& photo : photos) {
            text += "\n" + QFile::decodeName(QByteArray::fromStdString(photo.photo)).toStdString() +
                    ": " + photo.reason;
        }
    };
    list("保存できなかった写真", run.Failures());
    list("メタデータの一部を含めずに保存した写真", run.Warnings());
    return text;
}
