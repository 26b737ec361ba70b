// Giving the window's corrections to other photos: they are corrected and saved by
// CorrectPhotoFiles, several at once as the batch tool does, on threads of their own so that the
// window keeps painting and answering while the photos are worked through.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "app/WindowServices.h"
#include "correct/CorrectPhotoFile.h"
#include "correct/CorrectionSettings.h"

class ApplyToManyRun : public QObject {
    Q_OBJECT
  public:
    struct Failure {
        std::string photo;
        std::string reason;
    };

    // Outputs that are there already, or appear meanwhile, are replaced only with
    // replaceExisting; otherwise those photos fail, saying so. The caller asks the user first.
    ApplyToManyRun(const CorrectionSettings& settings, std::vector<PlannedPhoto> plan,
                   bool replaceExisting);
    // Cancels and waits for the photos in progress.
    ~ApplyToManyRun() override;

    // Starts correcting the planned photos with the settings; connect the signals first.
    void Start();

    // No photo is started after this; the ones in progress are finished, and saving never leaves
    // a partial file.
    void Cancel();

    // Read once finished() was emitted.
    size_t SavedCount() const { return saved; }
    bool Cancelled() const { return cancelled; }
    const std::vector<Failure>& Failures() const { return failures; }
    // The photos saved with a warning (part of their metadata left out), and the warning.
    const std::vector<Failure>& Warnings() const { return warnings; }

  signals:
    // Photo index (0-based) of count is being corrected; its file name.
    void photoStarted(int index, int count, const QString& name);
    void finished();

  private:
    void Run();

    const CorrectionSettings settings;
    std::vector<PlannedPhoto> plan;
    const bool replaceExisting;

    std::atomic<bool> cancelRequested = false;
    size_t saved = 0;
    bool cancelled = false;
    std::vector<Failure> failures;
    std::vector<Failure> warnings;
    std::thread worker;
};

// The summary shown at the end: how many were saved, each photo that failed and why, and each
// saved with a warning.
std::string ApplyToManySummary(const ApplyToManyRun& run);
