#include "app/PreviewStretch.h"

#include <algorithm>

#include "parallel/WorkerPool.h"

StretchAxis MakeStretchAxis(int32_t in, int32_t out) {
    StretchAxis axis;
    axis.first.resize(out);
    axis.count.resize(out);
    axis.offset.resize(out);
    for (int32_t k = 0; k < out; ++k) {
        const int64_t begin = static_cast<int64_t>(k) * in;
        const int64_t end = begin + in;
        const int32_t first = static_cast<int32_t>(begin / out);
        const int32_t last = static_cast<int32_t>((end - 1) / out);
        axis.first[k] = first;
        axis.count[k] = last - first + 1;
        axis.offset[k] = static_cast<int32_t>(axis.weight.size());
        for (int32_t i = first; i <= last; ++i) {
            const int64_t pixelBegin = static_cast<int64_t>(i) * out;
            const int64_t overlap = std::min(end, pixelBegin + out) - std::max(begin, pixelBegin);
            axis.weight.push_back(static_cast<uint32_t>(overlap));
        }
    }
    return axis;
}

namespace {

// Weighs one source row across every output column into across (red, green, blue per column);
// bgrAt gives the blue, green and red bytes of a source column.
template <typename BgrAt>
void SumAcross(const StretchContext* c, BgrAt bgrAt, std::vector<uint32_t>& across) {
    const int32_t outWidth = static_cast<int32_t>(c->columns->first.size());
    for (int32_t x = 0; x < outWidth; ++x) {
        uint32_t b = 0, g = 0, r = 0;
        const uint32_t* w = c->columns->weight.data() + c->columns->offset[x];
        const int32_t start = c->srcLeft + c->columns->first[x];
        const int32_t n = c->columns->count[x];
        for (int32_t i = 0; i < n; ++i) {
            const uint8_t* bgr = bgrAt(start + i);
            b += w[i] * bgr[0];
            g += w[i] * bgr[1];
            r += w[i] * bgr[2];
        }
        across[x * 3 + 0] = r;
        across[x * 3 + 1] = g;
        across[x * 3 + 2] = b;
    }
}

}  // namespace

void StretchRowsTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<StretchContext*>(context);
    const DibHeader* dib = c->dib;
    const int32_t outWidth = static_cast<int32_t>(c->columns->first.size());
    const uint32_t stride = DibStride(dib->width, dib->bitCount);
    const uint8_t* pixels = DibPixels(dib);
    std::vector<uint32_t> across(static_cast<size_t>(outWidth) * 3);
    std::vector<uint64_t> sum(static_cast<size_t>(outWidth) * 3);

    for (uint32_t y = first; y < first + count; ++y) {
        std::fill(sum.begin(), sum.end(), 0);
        const int32_t rowCount = c->rows->count[y];
        for (int32_t j = 0; j < rowCount; ++j) {
            const int32_t pictureRow = c->srcTop + c->rows->first[y] + j;
            // Bitmap rows are stored bottom-up.
            const uint8_t* row =
                pixels + static_cast<size_t>(dib->height - 1 - pictureRow) * stride;
            if (dib->bitCount == 24) {
                SumAcross(
                    c, [row](int32_t i) { return row + static_cast<size_t>(i) * 3; }, across);
            } else {
                SumAcross(
                    c, [row, palette = c->palette](int32_t i) { return palette + row[i] * 4; },
                    across);
            }
            const uint64_t rowWeight = c->rows->weight[c->rows->offset[y] + j];
            for (size_t i = 0; i < across.size(); ++i) sum[i] += rowWeight * across[i];
        }
        auto* out = reinterpret_cast<QRgb*>(c->out->scanLine(static_cast<int>(y)));
        const uint64_t half = c->total / 2;
        for (int32_t x = 0; x < outWidth; ++x) {
            const auto r = static_cast<int>((sum[x * 3 + 0] + half) / c->total);
            const auto g = static_cast<int>((sum[x * 3 + 1] + half) / c->total);
            const auto b = static_cast<int>((sum[x * 3 + 2] + half) / c->total);
            out[x] = qRgb(r, g, b);
        }
    }
}

QImage StretchDibAveraged(const DibHeader* dib, const Rect& src, int32_t width, int32_t height) {
    if (!dib || dib->width < 1 || dib->height < 1) return QImage();
    if (dib->bitCount != 24 && dib->bitCount != 8) return QImage();
    if (width < 1 || height < 1) return QImage();
    const int32_t left = std::max<int32_t>(src.left, 0);
    const int32_t top = std::max<int32_t>(src.top, 0);
    const int32_t right = std::min<int32_t>(src.right, dib->width - 1);
    const int32_t bottom = std::min<int32_t>(src.bottom, dib->height - 1);
    if (right < left || bottom < top) return QImage();
    const int32_t sw = right - left + 1;
    const int32_t sh = bottom - top + 1;

    QImage out(width, height, QImage::Format_RGB32);
    if (out.isNull()) return QImage();
    const StretchAxis columns = MakeStretchAxis(sw, width);
    const StretchAxis rows = MakeStretchAxis(sh, height);
    StretchContext context{dib,
                           DibPalette(dib),
                           left,
                           top,
                           &columns,
                           &rows,
                           static_cast<uint64_t>(sw) * static_cast<uint64_t>(sh),
                           &out};
    WorkerPool::Run(StretchRowsTask, &context, static_cast<unsigned>(height));
    return out;
}
