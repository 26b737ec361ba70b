#include "adjust/ProxySource.h"

#include <cstddef>
#include <cstdint>

#include "parallel/WorkerPool.h"

namespace {

struct ProxyDownscaleContext {
    const CImgBuff* source;
    CImgBuff* destination;
    int32_t proxyWidth;
    int32_t factor;  // 4
};

// Items are proxy rows. The photo's samples are read in place: both buffers are PT_HSV16.
void ProxyDownscaleTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<ProxyDownscaleContext*>(context);
    const C_ImgBuff* source = c->source->buffer;
    const auto* pixels = reinterpret_cast<const uint16_t*>(source->pixels);
    auto* proxy = reinterpret_cast<uint16_t*>(c->destination->buffer->pixels);
    const size_t sourceWidth = static_cast<size_t>(source->width);
    const size_t factor = static_cast<size_t>(c->factor);
    const size_t proxyWidth = static_cast<size_t>(c->proxyWidth);
    for (size_t py = first; py < size_t{first} + count; ++py) {
        uint16_t* out = proxy + py * proxyWidth * 3;
        for (size_t px = 0; px < proxyWidth; ++px, out += 3) {
            uint32_t sumS = 0, sumV = 0;
            const uint16_t* hsv = nullptr;
            for (size_t ky = 0; ky < factor; ++ky) {
                const uint16_t* row = pixels + ((factor * py + ky) * sourceWidth + factor * px) * 3;
                for (size_t kx = 0; kx < factor; ++kx) {
                    hsv = row + kx * 3;
                    sumS += hsv[1];
                    sumV += hsv[2];
                }
            }
            const uint32_t samples = static_cast<uint32_t>(factor * factor);
            out[0] = hsv[0];  // the block's bottom-right pixel, read last
            out[1] = static_cast<uint16_t>(sumS / samples);
            out[2] = static_cast<uint16_t>(sumV / samples);
        }
    }
}

}  // namespace

int MakeProxySource(const CImgBuff& source, CImgBuff* proxy) {
    int32_t width = 0, height = 0;
    source.buffer->GetInfo(&width, &height, nullptr, nullptr);
    const int32_t w4 = width / 4;
    const int32_t h4 = height / 4;
    if (source.buffer->type != PT_HSV16 || !proxy->buffer->Create(w4, h4, PT_HSV16)) {
        // No photo, or one too small: no proxy from an earlier photo may stay behind.
        proxy->buffer->Clear();
        return 0;
    }
    ProxyDownscaleContext context{&source, proxy, w4, 4};
    WorkerPool::Run(ProxyDownscaleTask, &context, static_cast<unsigned>(h4));
    return 1;
}
