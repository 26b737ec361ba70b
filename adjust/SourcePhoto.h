// A loaded photo as the passes read it: its pixels, the quarter-size proxy the preview shows
// while a thumb is dragged, its automatic white balance (measured once, on the first pass that
// needs it) and the photo after white balance alone, kept so that a pass after a slider other
// than white balance runs only the stages after it. Its pixels never change once made, so
// renders on several threads read it at once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "adjust/ColorCache.h"
#include "adjust/CorrectionPlan.h"
#include "adjust/WhiteBalance.h"
#include "image/ImageTurn.h"
#include "image/ImgBuff.h"

// The grey-point limits of the automatic white balance, in percent.
constexpr int kAutoWbSaturationLimit = 60;
constexpr int kAutoWbMinValue = 40;
// The largest photo whose white-balanced copy is kept between passes (6 bytes a pixel).
constexpr uint64_t kKeptBalanceMaxPixels = 50'000'000;

// The automatic white balance of photo: a cache that makes its measured grey point neutral; null
// when the photo cannot be measured or memory is short.
std::shared_ptr<ColorCache> MeasureAutomaticWhiteBalance(const CImgBuff& photo);

// The same for a width x height photo fed band by band: the meter to feed, then the cache from
// what it measured.
std::unique_ptr<GreyPointMeter> AutomaticWhiteBalanceMeter(int32_t width, int32_t height);
std::shared_ptr<ColorCache> AutomaticWhiteBalance(const GreyPointMeter& meter);

class SourcePhoto {
  public:
    // Takes image's pixels (a PT_HSV16 photo, the photo as loaded turned by turn; image is left
    // empty) and makes the proxy, which stays empty for a photo under 4 pixels across or down.
    // Null when image holds no HSV16 photo or memory runs short.
    static std::shared_ptr<SourcePhoto> Make(CImgBuff& image, ImageTurn turn = {});

    // The same photo turned by turn from how it was loaded, with a proxy of its own (this one is
    // left as it is); null when memory runs short.
    std::shared_ptr<SourcePhoto> Turned(ImageTurn turn) const;
    // How the photo stands, from how it was loaded.
    ImageTurn Turn() const { return turn; }

    const C_ImgBuff& Pixels() const { return *pixels.buffer; }
    // The proxy, or the photo itself when it has none.
    const C_ImgBuff& Proxy() const;
    // How many photo pixels one proxy pixel stands for along each side (1 without a proxy).
    int32_t ProxyScale() const;
    int32_t Width() const { return pixels.buffer->width; }
    int32_t Height() const { return pixels.buffer->height; }

    // The white balance plan applies to this photo in *cache (null: none). false when it should
    // apply but could not be measured or built for lack of memory (tried again next time).
    bool WhiteBalance(const CorrectionPlan& plan, ColorCache** cache) const;

    // The photo (or its proxy) after white balance alone with cache, made on first request and
    // kept while the same cache is asked for; null when the photo is too large to keep or memory
    // is short, and the pass then balances as it goes.
    std::shared_ptr<const CImgBuff> Balanced(bool proxy, ColorCache* cache) const;

  private:
    SourcePhoto() = default;

    CImgBuff pixels;
    CImgBuff proxy;
    ImageTurn turn;
    mutable std::mutex lock;  // guards what follows, made by whichever pass comes first
    mutable std::shared_ptr<ColorCache> automatic;
    struct Kept {
        std::shared_ptr<const CImgBuff> image;
        uint64_t serial = 0;  // the serial of the cache that made it
    };
    mutable Kept kept[2];  // [0] the photo, [1] the proxy
};
