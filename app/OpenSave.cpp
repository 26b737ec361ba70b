// Opening a photo and saving the adjusted one.
#include <QFile>
#include <QFileInfo>

#include <utility>

#include "adjust/ProxySource.h"
#include "app/LumivexDlg.h"
#include "app/PreviewFrame.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoSaver.h"

namespace {

const char kOpenFilter[] =
    "写真(*.jpg;*.jpeg;*.tif;*.tiff)|*.jpg;*.jpeg;*.tif;*.tiff|jpgファイル(*.jpg;*.jpeg)|*.jpg;*."
    "jpeg|tiffファイル(*.tif;*.tiff)|*.tif;*.tiff||";
const char kSaveFilter[] = "写真(*.jpg;*.jpeg)|*.jpg;*.jpeg||";
const char kLoadFailed[] = "ロードできませんでした";
const char kSaveFailed[] = "セーブできませんでした";

// Hands the pixels of one buffer to the other without copying them.
void SwapImages(CImgBuff& a, CImgBuff& b) {
    std::swap(a.buffer->type, b.buffer->type);
    std::swap(a.buffer->width, b.buffer->width);
    std::swap(a.buffer->height, b.buffer->height);
    std::swap(a.buffer->pixels, b.buffer->pixels);
}

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

// A photo that fails to load, or whose first pass runs short of memory, leaves the current one,
// its proxy, result, caches and picture as they were: the new photo is read into holders of its
// own and takes the place of the old one only when its pass has succeeded.
void CLumivexDlg::OpenPhotoFile(const std::string& path) {
    CImgBuff loaded;
    PhotoOrigin origin;
    int ok;
    {
        BusyCursor busy;
        ok = LoadPhoto(path.c_str(), &loaded, nullptr, {}, &origin);
    }
    if (!ok) {
        prompts->ShowMessage(this, kLoadFailed);
        return;
    }

    CImgBuff oldProxy, oldResult;
    SwapImages(engine.sourceImage, loaded);
    SwapImages(engine.proxySource, oldProxy);
    SwapImages(engine.resultImage, oldResult);
    ColorCache* oldCaches[2] = {engine.autoWbCache, engine.spotWbCache};
    const std::optional<GreyPoint> oldSpot = engine.spotGreyPoint;
    engine.autoWbCache = engine.spotWbCache = nullptr;
    engine.spotGreyPoint.reset();
    const int32_t oldNeedsApply = engine.needsApply;
    engine.needsApply = 1;
    {
        BusyCursor busy;
        MakeProxySource(engine.sourceImage, &engine.proxySource);
        ok = ApplyAdjustments(0);
    }
    if (!ok) {
        engine.DropWhiteBalanceCaches();
        SwapImages(engine.sourceImage, loaded);
        SwapImages(engine.proxySource, oldProxy);
        SwapImages(engine.resultImage, oldResult);
        engine.autoWbCache = oldCaches[0];
        engine.spotWbCache = oldCaches[1];
        engine.spotGreyPoint = oldSpot;
        engine.needsApply = oldNeedsApply;
        prompts->ShowMessage(this, kLoadFailed);
        return;
    }
    for (ColorCache* cache : oldCaches) {
        if (cache) ColorCache_Destroy(cache);
    }
    photoOrigin = std::move(origin);

    engine.sourceImage.buffer->GetInfo(&photoWidth, &photoHeight, nullptr, nullptr);
    FreeDisplayDib(originalDib);
    originalDib = MakeDisplayDib(&engine.sourceImage, nullptr);
    previewFrame->DisplayBitmapChanged(originalDib);
    history->clear();
    committed = saved = Snapshot();
    setWindowTitle(QFileInfo(QFile::decodeName(path.c_str())).fileName() + QStringLiteral(" - ") +
                   QString::fromUtf8(kApplicationName));
    LayoutPreview();
    InvalidateClientRect(Rect{0, 0, client->width(), client->height()}, 1);
}

void CLumivexDlg::OnSavePhoto() {
    SaveAdjustedPhoto();
}

// A failed save leaves resultImage as it was, so that trying again writes the same picture.
int CLumivexDlg::SaveAdjustedPhoto() {
    FileDialogRequest request;
    request.save = true;
    request.filter = kSaveFilter;
    request.defaultExtension = "jpg";
    request.overwritePrompt = true;
    UpdateData(1);
    if (engine.needsApply && !ApplyAdjustments(0)) {
        prompts->ShowMessage(this, kSaveFailed);
        return 0;
    }
    std::string path;
    if (!prompts->RunFileDialog(this, request, &path)) return 0;
    int ok;
    {
        BusyCursor busy;
        ok = SavePhoto(path.c_str(), &engine.resultImage, nullptr, &photoOrigin);
    }
    if (!ok) {
        prompts->ShowMessage(this, kSaveFailed);
        return 0;
    }
    saved = Snapshot();
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
