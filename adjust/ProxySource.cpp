#include "adjust/ProxySource.h"

#include "parallel/WorkerPool.h"

namespace {

struct ProxyDownscaleContext {
    const CImgBuff* source;
    CImgBuff* destination;
    int32_t proxyWidth;
    int32_t factor;  // 4
};

// Items are proxy rows.
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

}  // namespace

int MakeProxySource(const CImgBuff& source, CImgBuff* proxy) {
    int32_t width = 0, height = 0;
    source.buffer->GetInfo(&width, &height, nullptr, nullptr);
    const int32_t w4 = width / 4;
    const int32_t h4 = height / 4;
    if (!proxy->buffer->Create(w4, h4, PT_HSV16)) {
        // No photo, or one too small: no proxy from an earlier photo may stay behind.
        proxy->buffer->Clear();
        return 0;
    }
    ProxyDownscaleContext context{&source, proxy, w4, 4};
    WorkerPool::Run(ProxyDownscaleTask, &context, static_cast<unsigned>(h4));
    return 1;
}
