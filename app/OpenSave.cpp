// Opening a photo and saving the adjusted one; writing the corrections to a settings file,
// reading them back, and giving them to other photos.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QProgressDialog>
#include <QSettings>
#include <QStatusBar>

#include <algorithm>

#include "app/ApplyToMany.h"
#include "app/LumivexDlg.h"
#include "app/PreviewFrame.h"
#include "app/Resources.h"
#include "image/ImageTurn.h"
#include "imageio/JpegEncoder.h"
#include "imageio/PhotoFolder.h"
#include "imageio/PhotoFormats.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoSaver.h"

namespace {

// The filter of the formats the window's open (or save) dialog offers, from the table of formats:
// "写真(*.jpg;*.jpeg;*.tif;*.tiff)|*.jpg;*.jpeg;*.tif;*.tiff|" for all of them together, then,
// when there are several, each under its own name.
// The open dialog ends with every format that loads.
std::string PhotoFilter(bool save) {
    std::vector<std::string> each, every, loads;
    for (const PhotoFormat& format : kPhotoFormats) {
        std::vector<std::string> patterns;
        for (const char* extension : format.extensions)
            if (extension) patterns.push_back(std::string("*.") + extension);
        loads.push_back(JoinWords(patterns, ";", ";"));
        if (!format.windowLabel || (save && !format.windowSaves)) continue;
        every.push_back(loads.back());
        each.push_back(format.windowLabel + ("(" + every.back() + ")|" + every.back() + "|"));
    }
    const std::string all = JoinWords(every, ";", ";");
    const std::string any = JoinWords(loads, ";", ";");
    return "写真(" + all + ")|" + all + "|" + (each.size() > 1 ? JoinWords(each, "", "") : "") +
           (save ? "" : "読み込めるすべての写真(" + any + ")|" + any + "|") + "|";
}

// The extension a name typed in the save dialog without one gets: its first format's.
const char* SaveExtension() {
    for (const PhotoFormat& format : kPhotoFormats)
        if (format.windowSaves) return format.extensions[0];
    return nullptr;
}

const std::string kOpenFilter = PhotoFilter(false);
const std::string kSaveFilter = PhotoFilter(true);
const char kLoadFailed[] = "ロードできませんでした";
const char kSaveFailed[] = "セーブできませんでした";
const char kSettingsFilter[] = "補正ファイル(*.lumivex)|*.lumivex||";
// What the save dialog keeps from one save to the next: the extension of the last photo saved
// and the JPEG quality last chosen.
const QString kSavedFormat = QStringLiteral("save/format");
const QString kSavedJpegQuality = QStringLiteral("save/jpegQuality");
// The photos opened last, newest first, as the file system's bytes.
const QString kRecentPhotos = QStringLiteral("open/recent");
constexpr int kRecentPhotoCount = 10;

// The folder of a path as the file system's bytes: "." for a bare name, "/" for the root's files.
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, std::max<size_t>(slash, 1));
}

const char kColoursAsStored[] = "色をそのまま表示しています: ";
// Before what of the photo's metadata could not be read, or was not saved.
const char kMetadataUnread[] = "メタデータの一部を読めませんでした: ";
const char kSavedWithout[] = "保存しましたが、次のものは含まれていません:";

std::span<const uint8_t> Bytes(const QByteArray& bytes) {
    return {reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size())};
}

}  // namespace

void CLumivexDlg::OnOpenPhoto() {
    FileDialogRequest request;
    request.filter = kOpenFilter.c_str();
    request.fileMustExist = true;
    // Where the last photo came from, in this run or the one before.
    const QVariantList recent = remembered->value(kRecentPhotos).toList();
    const std::string last = !steppedPath.empty() ? steppedPath
                             : recent.isEmpty()   ? std::string()
                                                  : recent.first().toByteArray().toStdString();
    if (!last.empty()) request.folder = FolderOf(last);
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
    PhotoError failure;
    steppedPath = path;
    statusBar->showMessage(QStringLiteral("読み込み中..."));
    std::shared_ptr<const DisplayColour> colour;
    ColourProblem colourProblem = ColourProblem::None;
    const QByteArray screenProfile = readScreenProfile();
    // The photo stands as the corrections say, as every other correction carries over too.
    const ImageTurn turn = engine.Corrections().turn;
    RunWhileWindowPaints([&] {
        CImgBuff loaded, turned;
        if (!LoadPhoto(path.c_str(), &loaded, &failure, {.allowDamaged = true}, &origin) ||
            !(turn.IsNone() || TurnImage(*loaded.buffer, turn, turned.buffer)))
            return;
        photo = SourcePhoto::Make(turn.IsNone() ? loaded : turned, turn);
        colour =
            DisplayColour::Make(Bytes(origin.iccProfile), Bytes(screenProfile), &colourProblem);
    });
    statusBar->clearMessage();
    if (!photo) {
        ShowFailure(kLoadFailed, failure);
        return;
    }
    engine.photo = photo;
    photoOrigin = std::move(origin);
    photoPath = path;
    spotPixel.reset();
    EnableSave(true);
    RememberRecentPhoto(path);
    screenColour = std::move(colour);
    // A profile that cannot be used leaves the colours as stored, and says why.
    if (colourProblem != ColourProblem::None) {
        statusBar->showMessage(QString::fromUtf8(kColoursAsStored) +
                               QString::fromUtf8(ColourProblemText(colourProblem)));
    }
    // Metadata that cannot be read is left out of the photo's saves; the photo itself is sound.
    for (const MetadataLoss& lost : photoOrigin.metadataWarnings) {
        const QString shown = statusBar->currentMessage();
        statusBar->showMessage((shown.isEmpty() ? shown : shown + QStringLiteral("  ")) +
                               QString::fromUtf8(kMetadataUnread) +
                               QFile::decodeName(path.c_str()) + QStringLiteral(": ") +
                               QString::fromUtf8(MetadataLossText(lost.kind)));
    }
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

// The message, and below it the cause; the system's own words where no cause names it.
void CLumivexDlg::ShowFailure(const char* message, const PhotoError& failure) {
    std::string text = message;
    if (failure.failure != PhotoFailure::None) text += "\n\n" + PhotoCauseText(failure);
    prompts->ShowMessage(this, text.c_str());
}

void CLumivexDlg::OnStepPhoto(int step) {
    if (steppedPath.empty()) return;
    std::vector<FolderEntry> entries;
    std::string error;
    if (!ListPhotoFolder(FolderOf(steppedPath), &entries, &error)) return;
    std::erase_if(entries, [](const FolderEntry& entry) { return entry.folder; });
    // The entries share the folder, so their paths sort as their names do.
    const auto after = std::upper_bound(
        entries.begin(), entries.end(), steppedPath,
        [](const std::string& path, const FolderEntry& entry) { return path < entry.path; });
    const auto before = std::lower_bound(
        entries.begin(), entries.end(), steppedPath,
        [](const FolderEntry& entry, const std::string& path) { return entry.path < path; });
    if (step > 0 ? after == entries.end() : before == entries.begin()) return;
    const std::string next = step > 0 ? after->path : std::prev(before)->path;
    if (ConfirmSetAside()) OpenPhotoFile(next);
}

void CLumivexDlg::RememberRecentPhoto(const std::string& path) {
    QVariantList recent = remembered->value(kRecentPhotos).toList();
    const QByteArray entry = QByteArray::fromStdString(path);
    recent.removeAll(entry);
    recent.prepend(entry);
    while (recent.size() > kRecentPhotoCount) recent.removeLast();
    remembered->setValue(kRecentPhotos, recent);
    FillRecentMenu();
}

void CLumivexDlg::FillRecentMenu() {
    recentMenu->clear();
    const QVariantList recent = remembered->value(kRecentPhotos).toList();
    for (int i = 0; i < recent.size(); ++i) {
        const QByteArray path = recent[i].toByteArray();
        QAction* action = recentMenu->addAction(
            QStringLiteral("&%1 %2").arg((i + 1) % 10).arg(QFile::decodeName(path)));
        action->setData(path);
    }
    recentMenu->setEnabled(!recent.isEmpty());
}

void CLumivexDlg::OnSavePhoto() {
    SaveAdjustedPhoto();
}

// The photo is corrected at full resolution and written beside the window, which keeps
// painting meanwhile.
int CLumivexDlg::SaveAdjustedPhoto() {
    const std::shared_ptr<const SourcePhoto> photo = engine.photo;
    if (!photo) return 0;
    FileDialogRequest request;
    request.save = true;
    request.filter = kSaveFilter.c_str();
    request.defaultExtension = SaveExtension();
    request.overwritePrompt = true;
    // Beside the photo, named after it, in the format saved last.
    request.folder = FolderOf(photoPath);
    std::string stem = photoPath.substr(photoPath.rfind('/') + 1);
    if (const size_t dot = stem.rfind('.'); dot != std::string::npos && dot > 0) stem.resize(dot);
    request.fileName =
        stem + "_補正." + remembered->value(kSavedFormat, SaveExtension()).toString().toStdString();
    int quality = std::clamp(remembered->value(kSavedJpegQuality, kDefaultJpegQuality).toInt(),
                             kLowestJpegQuality, kHighestJpegQuality);
    request.jpegQuality = &quality;
    UpdateData(1);
    std::string path;
    if (!prompts->RunFileDialog(this, request, &path)) return 0;
    const std::shared_ptr<const CorrectionPlan> plan = engine.Plan();
    const SaveOptions options{.quality = quality};
    PhotoError failure;
    int ok = 0;
    {
        BusyCursor busy;
        RunWhileWindowPaints([&] {
            CImgBuff result;
            ok = ApplyAdjustments(*plan, *photo, false, result.buffer) &&
                 SavePhoto(path.c_str(), &result, &failure, &photoOrigin, &options);
        });
    }
    if (!ok) {
        ShowFailure(kSaveFailed, failure);
        return 0;
    }
    const std::vector<MetadataLoss> leftOut =
        MetadataLeftOut(photoOrigin, options.keepMetadata, *WrittenPhotoFormat(path.c_str()));
    if (!leftOut.empty()) {
        std::string text = kSavedWithout;
        for (const MetadataLoss& lost : leftOut)
            text += "\n" + std::string(MetadataLossText(lost.kind));
        prompts->ShowMessage(this, text.c_str());
    }
    saved = plan->settings;
    remembered->setValue(kSavedFormat,
                         QFileInfo(QFile::decodeName(path.c_str())).suffix().toLower());
    remembered->setValue(kSavedJpegQuality, quality);
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
    SettingsError error;
    if (!WriteSettingsFile(path, Snapshot(), error)) {
        prompts->ShowMessage(
            this, ("補正を書き出せませんでした\n\n" + SettingsFailureText(error)).c_str());
    }
}

// The whole file is read and checked before anything changes; taking it is one undo step.
void CLumivexDlg::OnImportSettings() {
    FileDialogRequest request;
    request.filter = kSettingsFilter;
    request.fileMustExist = true;
    UpdateData(1);
    std::string path;
    if (!prompts->RunFileDialog(this, request, &path)) return;
    SettingsWarnings warnings;
    SettingsError error;
    const std::optional<CorrectionSettings> settings = ReadSettingsFile(path, warnings, error);
    if (!settings) {
        prompts->ShowMessage(
            this, ("補正を読み込めませんでした\n\n" + SettingsFailureText(error)).c_str());
        return;
    }
    TakeCorrections(*settings);
    CommitAdjustments();
    const std::string ignored = SettingsWarningText(warnings);
    if (!ignored.empty()) prompts->ShowMessage(this, ("補正を読み込みました。" + ignored).c_str());
}

// The photos are corrected with the settings as they are now, on a thread of their own; the
// window keeps working meanwhile, and the progress dialog can stop the run between photos.
void CLumivexDlg::OnApplyToMany() {
    if (applyRun) return;
    FileDialogRequest photos;
    photos.filter = kOpenFilter.c_str();
    photos.fileMustExist = true;
    UpdateData(1);
    ApplyToManyRequest request;
    if (!prompts->ChooseApplyToMany(this, photos, &request)) return;
    if (!QDir().mkpath(QFile::decodeName(QByteArray::fromStdString(request.folder)))) {
        prompts->ShowMessage(this, "保存先のフォルダを作れませんでした");
        return;
    }
    std::vector<PlannedPhoto> plan = PlanPhotos(request.photos, {}, request.folder, request.format);
    const auto there = std::count_if(plan.begin(), plan.end(), [](const PlannedPhoto& photo) {
        return photo.refusal.kind == PhotoProblem::Kind::None && OutputIsThere(photo);
    });
    bool replace = false;
    if (there > 0) {
        const std::string question =
            std::to_string(there) +
            " 枚の写真の保存先に同じ名前のファイルがあります。置き換えますか?";
        if (!(replace = prompts->AskToReplace(this, question.c_str()))) return;
    }
    const int count = static_cast<int>(plan.size());
    applyRun = std::make_unique<ApplyToManyRun>(Snapshot(), std::move(plan), replace);
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
