// Opening a photo and saving the adjusted one.
#include <utility>

#include "adjust/ProxySource.h"
#include "app/LumivexDlg.h"
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

// A photo that fails to load leaves the current one, its proxy, result, caches and picture as
// they were: the file is read into a holder of its own that replaces the photo only on success.
void CLumivexDlg::OnOpenPhoto() {
    FileDialogRequest request;
    request.filter = kOpenFilter;
    request.fileMustExist = true;
    UpdateData(1);
    std::string path;
    if (!prompts->RunFileDialog(this, request, &path)) return;

    {
        CImgBuff loaded;
        int ok;
        {
            BusyCursor busy;
            ok = LoadPhoto(path.c_str(), &loaded);
        }
        if (!ok) {
            prompts->ShowMessage(this, kLoadFailed);
            return;
        }
        SwapImages(engine.sourceImage, loaded);
    }

    engine.DropWhiteBalanceCaches();
    engine.needsApply = 1;
    engine.sourceImage.buffer->GetInfo(&photoWidth, &photoHeight, nullptr, nullptr);
    {
        BusyCursor busy;
        MakeProxySource(engine.sourceImage, &engine.proxySource);
        ApplyAdjustments(0);
    }
    LayoutPreview();
    InvalidateClientRect(Rect{0, 0, client->width(), client->height()}, 1);
}

// A failed save leaves resultImage as it was, so that trying again writes the same picture.
void CLumivexDlg::OnSavePhoto() {
    FileDialogRequest request;
    request.save = true;
    request.filter = kSaveFilter;
    request.defaultExtension = "jpg";
    request.overwritePrompt = true;
    UpdateData(1);
    if (engine.needsApply) ApplyAdjustments(0);
    std::string path;
    if (!prompts->RunFileDialog(this, request, &path)) return;
    int ok;
    {
        BusyCursor busy;
        ok = SavePhoto(path.c_str(), &engine.resultImage);
    }
    if (!ok) prompts->ShowMessage(this, kSaveFailed);
}
