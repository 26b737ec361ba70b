#include "adjust/FusedPass.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <new>

#include "adjust/ToneCurve.h"
#include "image/PixelPlanes.h"
#include "parallel/WorkerPool.h"

// Items are image rows.
struct FusedPassContext {
    const C_ImgBuff* source;
    C_ImgBuff* destination;
    const PassStages* stages;
    const BgrRows* display;
    std::atomic<int> failed;
};
void FusedPassTask(void* context, uint32_t first, uint32_t count);

namespace {

// Pixels taken through the stages together: small enough that their channels stay in the first
// level cache, large enough to keep the vector loops long.
constexpr size_t kRunPixels = 256;

// One run of pixels, channel by channel.
struct Run {
    uint16_t h[kRunPixels], s[kRunPixels], v[kRunPixels];
    uint16_t r[kRunPixels], g[kRunPixels], b[kRunPixels];
};

void MapThrough(const uint16_t* curve, uint16_t* channel, size_t n) {
    for (size_t i = 0; i < n; ++i) channel[i] = curve[channel[i]];
}

// The stages on one run in place; false when a white-balance block could not be allocated.
bool RunStages(const PassStages& stages, Run& run, size_t n) {
    if (stages.whiteBalance != nullptr) {
        HsvToRgb16Run(run.h, run.s, run.v, run.r, run.g, run.b, n);
        if (!ColorCache_MapRgb16Planes(stages.whiteBalance, run.r, run.g, run.b,
                                       static_cast<uint32_t>(n)))
            return false;
        RgbToHsv16Run(run.r, run.g, run.b, run.h, run.s, run.v, n);
    }
    if (stages.sCurve != nullptr) MapThrough(stages.sCurve, run.s, n);
    if (stages.vCurve != nullptr) MapThrough(stages.vCurve, run.v, n);
    if (stages.lightCurve != nullptr) MapThrough(stages.lightCurve, run.v, n);
    if (stages.bands != nullptr) MapBandRun(stages.bands, run.h, run.s, run.v, n);
    return true;
}

void StoreDisplay(Run& run, uint8_t* bgr, size_t n) {
    HsvToRgb16Run(run.h, run.s, run.v, run.r, run.g, run.b, n);
    JoinHighBytes(run.b, run.g, run.r, bgr, n);
}

}  // namespace

void FusedPassTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<FusedPassContext*>(context);
    const size_t width = static_cast<size_t>(c->source->width);
    const auto* source = reinterpret_cast<const uint16_t*>(c->source->pixels);
    auto* destination = reinterpret_cast<uint16_t*>(c->destination->pixels);
    Run run;
    for (uint32_t y = first; y < first + count; ++y) {
        if (c->failed.load(std::memory_order_relaxed)) return;
        const uint16_t* in = source + y * width * 3;
        uint16_t* out = destination + y * width * 3;
        uint8_t* bgr =
            c->display != nullptr ? c->display->first + c->display->stride * ptrdiff_t(y) : nullptr;
        for (size_t x = 0; x < width; x += kRunPixels) {
            const size_t n = width - x < kRunPixels ? width - x : kRunPixels;
            SplitPixels16(in + 3 * x, run.h, run.s, run.v, n);
            if (!RunStages(*c->stages, run, n)) {
                c->failed.store(1, std::memory_order_relaxed);
                return;
            }
            JoinPixels16(run.h, run.s, run.v, out + 3 * x, n);
            if (bgr != nullptr) StoreDisplay(run, bgr + 3 * x, n);
        }
    }
}

bool RenderDisplayRow(const C_ImgBuff& source, const PassStages& stages, int32_t x, int32_t y,
                      int32_t count, uint8_t* bgr) {
    const auto* in = reinterpret_cast<const uint16_t*>(source.pixels) +
                     (static_cast<size_t>(y) * static_cast<size_t>(source.width) + x) * 3;
    Run run;
    for (size_t done = 0; done < static_cast<size_t>(count); done += kRunPixels) {
        const size_t n = std::min(kRunPixels, static_cast<size_t>(count) - done);
        SplitPixels16(in + 3 * done, run.h, run.s, run.v, n);
        if (!RunStages(stages, run, n)) return false;
        StoreDisplay(run, bgr + 3 * done, n);
    }
    return true;
}

int RunFusedPass(const C_ImgBuff& source, C_ImgBuff* destination, const PassStages& stages,
                 const BgrRows* display) {
    if (source.height < 1 || source.width < 1) return 1;
    // Value through the tone curve and then the light curve in one look-up, when memory allows.
    PassStages own = stages;
    std::unique_ptr<uint16_t[]> composed;
    if (stages.vCurve != nullptr && stages.lightCurve != nullptr) {
        composed.reset(new (std::nothrow) uint16_t[kToneCurveSize]);
        if (composed) {
            for (uint32_t v = 0; v < kToneCurveSize; ++v)
                composed[v] = stages.lightCurve[stages.vCurve[v]];
            own.vCurve = composed.get();
            own.lightCurve = nullptr;
        }
    }
    FusedPassContext context{&source, destination, &own, display, {0}};
    WorkerPool::Run(FusedPassTask, &context, static_cast<unsigned>(source.height));
    return context.failed.load() ? 0 : 1;
}
