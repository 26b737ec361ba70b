// Opening a photo and saving the adjusted one.
#include <utility>

#include "app/LumivexDlg.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoSaver.h"
#include "parallel/WorkerPool.h"

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

void ProxyDownscaleTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<ProxyDownscaleContext*>(context);
    const C_ImgBuff* source = c->source->buffer;
    C_ImgBuff* destination = c->destination->buffer;
    const int32_t factor = c->factor;
    for (uint32_t row = first; row < first + count; ++row) {
        const auto py = static_cast<int32_t>(row);
        for (int32_t px = 0; px < c->proxyWidth; ++px) {
            int32_t sumS = 0, sumV = 0;
            uint16_t h = 0, s = 0, v = 0;
            for (int32_t ky = 0; ky < factor; ++ky) {
                for (int32_t kx = 0; kx < factor; ++kx) {
                    source->GetHSV16(factor * px + kx, factor * py + ky, &h, &s, &v);
                    sumS += s;
                    sumV += v;
                }
            }
            const int32_t samples = factor * factor;
            destination->SetHSV16(px, py, h, static_cast<uint32_t>(sumS / samples),
                                  static_cast<uint32_t>(sumV / samples));
        }
    }
}

void CLumivexDlg::MakeProxySource() {
    int32_t width = 0, height = 0;
    if (!sourceImage.buffer->GetInfo(&width, &height, nullptr, nullptr)) return;
    const int32_t w4 = width / 4;
    const int32_t h4 = height / 4;
    if (!proxySource.buffer->Create(w4, h4, PT_HSV16)) {
        // A photo under 4 pixels across or down has no proxy; none from an earlier photo stays.
        proxySource.buffer->Clear();
        return;
    }
    if (h4 > 0) {
        ProxyDownscaleContext context{&sourceImage, &proxySource, w4, 4};
        WorkerPool::Run(ProxyDownscaleTask, &context, static_cast<unsigned>(h4));
    }
}

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
        SwapImages(sourceImage, loaded);
    }

    DropWhiteBalanceCaches();
    needsApply = 1;
    sourceImage.buffer->GetInfo(&photoWidth, &photoHeight, nullptr, nullptr);
    {
        BusyCursor busy;
        MakeProxySource();
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
    if (needsApply) ApplyAdjustments(0);
    std::string path;
    if (!prompts->RunFileDialog(this, request, &path)) return;
    int ok;
    {
        BusyCursor busy;
        ok = SavePhoto(path.c_str(), &resultImage);
    }
    if (!ok) prompts->ShowMessage(this, kSaveFailed);
}
