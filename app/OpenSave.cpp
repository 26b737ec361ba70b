// Opening a photo and saving the adjusted one; writing the corrections to a settings file,
// reading them back, and giving them to other photos.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProgressDialog>

#include "app/ApplyToMany.h"
#include "app/LumivexDlg.h"
#include "app/PreviewFrame.h"
#include "image/ImageTurn.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoSaver.h"

namespace {

const char kOpenFilter[] =
    "写真(*.jpg;*.jpeg;*.tif;*.tiff)|*.jpg;*.jpeg;*.tif;*.tiff|jpgファイル(*.jpg;*.jpeg)|*.jpg;*."
    "jpeg|tiffファイル(*.tif;*.tiff)|*.tif;*.tiff||";
const char kSaveFilter[] = "写真(*.jpg;*.jpeg)|*.jpg;*.jpeg||";
const char kLoadFailed[] = "ロードできませんでした";
const char kSaveFailed[] = "セーブできませんでした";
const char kSettingsFilter[] = "補正ファイル(*.lumivex)|*.lumivex||";

}  // namespace

void CLumivexDlg::OnOpenPhoto() {
    FileDialogRequest request;
    request.filter = kOpenFilter;
    request.fileMustExist = true;
    UpdateData(1);
    if (!ConfirmSetAside()) return;
    std::string path;
    if (!prompts->RunFileDialog(this, request, &path)) return;
    OpenPhotoFile(path);
}

// A photo that fails to load leaves the current one as it was: the new photo is read into
// holders of its own, beside the window, and takes the place of the old one only once whole. A
// photo whose lower rows are damaged is shown, and then said to be.
void CLumivexDlg::OpenPhotoFile(const std::string& path) {
    std::shared_ptr<SourcePhoto> photo;
    PhotoOrigin origin;
    // The photo stands as the corrections say, as every other correction carries over too.
    const ImageTurn turn = engine.Corrections().turn;
    RunWhileWindowPaints([&] {
        CImgBuff loaded, turned;
        if (LoadPhoto(path.c_str(), &loaded, nullptr, {.allowDamaged = true}, &origin) &&
            (turn.IsNone() || TurnImage(*loaded.buffer, turn, turned.buffer)))
            photo = SourcePhoto::Make(turn.IsNone() ? loaded : turned, turn);
    });
    if (!photo) {
        prompts->ShowMessage(this, kLoadFailed);
        return;
    }
    engine.photo = photo;
    photoOrigin = std::move(origin);
    photoWidth = photo->Width();
    photoHeight = photo->Height();
    history->clear();
    committed = saved = Snapshot();
    setWindowTitle(QFileInfo(QFile::decodeName(path.c_str())).fileName() + QStringLiteral(" - ") +
                   QString::fromUtf8(kApplicationName));
    engine.useProxy = 0;
    shownPreview.reset();
    LayoutPreview();
    // A zoomed view starts at the new photo's centre.
    previewFrame->SetZoom(previewFrame->Zoom());
    InvalidateClientRect(Rect{0, 0, client->width(), client->height()}, 1);
    if (photoOrigin.damagedRows > 0) {
        const std::string text =
            "下の " + std::to_string(photoOrigin.damagedRows) + " 行が壊れています";
        prompts->ShowMessage(this, text.c_str());
    }
}

void CLumivexDlg::OnSavePhoto() {
    SaveAdjustedPhoto();
}

// The photo is corrected at full resolution and written beside the window, which keeps
// painting meanwhile.
int CLumivexDlg::SaveAdjustedPhoto() {
    FileDialogRequest request;
    request.save = true;
    request.filter = kSaveFilter;
    request.defaultExtension = "jpg";
    request.overwritePrompt = true;
    UpdateData(1);
    std::string path;
    if (!prompts->RunFileDialog(this, request, &path)) return 0;
    const std::shared_ptr<const SourcePhoto> photo = engine.photo;
    const std::shared_ptr<const CorrectionPlan> plan = engine.Plan();
    int ok = 0;
    if (photo) {
        BusyCursor busy;
        RunWhileWindowPaints([&] {
            CImgBuff result;
            ok = ApplyAdjustments(*plan, *photo, false, result.buffer) &&
                 SavePhoto(path.c_str(), &result, nullptr, &photoOrigin);
        });
    }
    if (!ok) {
        prompts->ShowMessage(this, kSaveFailed);
        return 0;
    }
    saved = plan->settings;
    return 1;
}

int CLumivexDlg::ConfirmSetAside() {
    if (photoWidth == 0 || Snapshot() == saved) return 1;
    switch (prompts->AskToSaveChanges(this)) {
        case SaveChangesAnswer::Save:
            return SaveAdjustedPhoto();
        case SaveChangesAnswer::Discard:
            return 1;
        case SaveChangesAnswer::Cancel:
            break;
    }
    return 0;
}

void CLumivexDlg::OnExportSettings() {
    FileDialogRequest request;
    request.save = true;
    request.filter = kSettingsFilter;
    request.defaultExtension = kSettingsExtension.data();
    request.overwritePrompt = true;
    UpdateData(1);
    std::string path;
    if (!prompts->RunFileDialog(this, request, &path)) return;
    std::string error;
    if (!WriteSettingsFile(path, Snapshot(), error))
        prompts->ShowMessage(this, ("補正を書き出せませんでした\n\n" + error).c_str());
}

// The whole file is read and checked before anything changes; taking it is one undo step.
void CLumivexDlg::OnImportSettings() {
    FileDialogRequest request;
    request.filter = kSettingsFilter;
    request.fileMustExist = true;
    UpdateData(1);
    std::string path;
    if (!prompts->RunFileDialog(this, request, &path)) return;
    std::vector<std::string> warnings;
    std::string error;
    const std::optional<CorrectionSettings> settings = ReadSettingsFile(path, warnings, error);
    if (!settings) {
        prompts->ShowMessage(this, ("補正を読み込めませんでした\n\n" + error).c_str());
        return;
    }
    TakeCorrections(*settings);
    CommitAdjustments();
    if (warnings.empty()) return;
    std::string text = "補正を読み込みました。次の項目はこの版では使えないため無視しました:";
    for (const std::string& warning : warnings) text += "\n" + warning;
    prompts->ShowMessage(this, text.c_str());
}

// The photos are corrected with the settings as they are now, on a thread of their own; the
// window keeps working meanwhile, and the progress dialog can stop the run between photos.
void CLumivexDlg::OnApplyToMany() {
    if (applyRun) return;
    FileDialogRequest photos;
    photos.filter = kOpenFilter;
    photos.fileMustExist = true;
    UpdateData(1);
    ApplyToManyRequest request;
    if (!prompts->ChooseApplyToMany(this, photos, &request)) return;
    if (!QDir().mkpath(QFile::decodeName(QByteArray::fromStdString(request.folder)))) {
        prompts->ShowMessage(this, "保存先のフォルダを作れませんでした");
        return;
    }
    const int count = static_cast<int>(request.photos.size());
    applyRun = std::make_unique<ApplyToManyRun>(Snapshot(), request);
    auto* progress = new QProgressDialog(QStringLiteral("写真を補正しています..."),
                                         QStringLiteral("キャンセル"), 0, count, this);
    progress->setWindowTitle(QStringLiteral("他の写真にも適用"));
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setMinimumDuration(0);
    progress->setValue(0);
    connect(progress, &QProgressDialog::canceled, applyRun.get(), &ApplyToManyRun::Cancel);
    connect(applyRun.get(), &ApplyToManyRun::photoStarted, progress,
            [progress](int index, int total, const QString& name) {
                progress->setValue(index);
                progress->setLabelText(
                    QStringLiteral("%1 / %2 枚目: %3").arg(index + 1).arg(total).arg(name));
            });
    connect(applyRun.get(), &ApplyToManyRun::finished, this, [this, progress] {
        progress->deleteLater();
        const std::string summary = ApplyToManySummary(*applyRun);
        applyRun.reset();
        prompts->ShowMessage(this, summary.c_str());
    });
    progress->show();
    applyRun->Start();
}
