#include "adjust/SourcePhoto.h"

#include "adjust/FusedPass.h"
#include "adjust/ProxySource.h"
#include "adjust/WhiteBalance.h"

namespace {

std::shared_ptr<ColorCache> WhiteBalanceOf(double r, double g, double b) {
    ColorCache* cache = CreateWhiteBalanceCache(r, g, b);
    if (!cache) return nullptr;
    return std::shared_ptr<ColorCache>(cache, [](ColorCache* c) { ColorCache_Destroy(c); });
}

}  // namespace

std::shared_ptr<ColorCache> MeasureAutomaticWhiteBalance(const CImgBuff& photo) {
    double r, g, b;
    if (!EstimateGreyPoint(&photo, &r, &g, &b, kAutoWbSaturationLimit, kAutoWbMinValue))
        return nullptr;
    return WhiteBalanceOf(r, g, b);
}

std::unique_ptr<GreyPointMeter> AutomaticWhiteBalanceMeter(int32_t width, int32_t height) {
    return std::make_unique<GreyPointMeter>(width, height, kAutoWbSaturationLimit, kAutoWbMinValue);
}

std::shared_ptr<ColorCache> AutomaticWhiteBalance(const GreyPointMeter& meter) {
    double r, g, b;
    if (!meter.Result(&r, &g, &b)) return nullptr;
    return WhiteBalanceOf(r, g, b);
}

std::shared_ptr<SourcePhoto> SourcePhoto::Make(CImgBuff& image, ImageTurn turn) {
    int32_t width = 0, height = 0;
    PixelType type = PT_NONE;
    if (!image.buffer->GetInfo(&width, &height, &type, nullptr) || type != PT_HSV16) return nullptr;
    std::shared_ptr<SourcePhoto> photo(new SourcePhoto);
    photo->pixels.buffer->Swap(*image.buffer);
    photo->turn = turn;
    // A photo too small for a proxy is its own.
    if (width >= 4 && height >= 4 && !MakeProxySource(photo->pixels, &photo->proxy)) {
        image.buffer->Swap(*photo->pixels.buffer);
        return nullptr;
    }
    return photo;
}

std::shared_ptr<SourcePhoto> SourcePhoto::Turned(ImageTurn to) const {
    CImgBuff turned;
    if (!TurnImage(*pixels.buffer, turn.Inverse().Then(to), turned.buffer)) return nullptr;
    return Make(turned, to);
}

const C_ImgBuff& SourcePhoto::Proxy() const {
    return proxy.buffer->type == PT_NONE ? *pixels.buffer : *proxy.buffer;
}

int32_t SourcePhoto::ProxyScale() const {
    return proxy.buffer->type == PT_NONE ? 1 : 4;
}

bool SourcePhoto::WhiteBalance(const CorrectionPlan& plan, ColorCache** cache) const {
    *cache = nullptr;
    switch (plan.settings.wbMode) {
        case WhiteBalanceMode::Off:
            return true;
        case WhiteBalanceMode::Spot:
            *cache = plan.spotWhiteBalance.get();
            return !plan.spotWhiteBalanceShort;
        case WhiteBalanceMode::Automatic:
            break;
    }
    std::lock_guard<std::mutex> guard(lock);
    // Always measured on the full photo, so that the proxy and the full pass agree.
    if (!automatic) automatic = MeasureAutomaticWhiteBalance(pixels);
    *cache = automatic.get();
    return *cache != nullptr;
}

std::shared_ptr<const CImgBuff> SourcePhoto::Balanced(bool useProxy, ColorCache* cache) const {
    const C_ImgBuff& source = useProxy ? Proxy() : Pixels();
    if (uint64_t(source.width) * uint64_t(source.height) > kKeptBalanceMaxPixels) return nullptr;
    std::lock_guard<std::mutex> guard(lock);
    Kept& keep = kept[useProxy ? 1 : 0];
    if (keep.image && keep.serial == cache->serial) return keep.image;
    // What an earlier cache made goes before the new copy is made, so that two never coexist.
    keep.image.reset();
    auto balanced = std::make_shared<CImgBuff>();
    if (!balanced->buffer->Create(source.width, source.height, PT_HSV16)) return nullptr;
    PassStages whiteBalanceOnly;
    whiteBalanceOnly.whiteBalance = cache;
    if (RunFusedPass(source, balanced->buffer, whiteBalanceOnly, nullptr) != 1) return nullptr;
    keep.image = balanced;
    keep.serial = cache->serial;
    return balanced;
}
