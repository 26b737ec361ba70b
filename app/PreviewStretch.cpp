#include "app/PreviewStretch.h"

#include <algorithm>
#include <atomic>
#include <functional>

#include "parallel/ParallelFor.h"

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

// Weighs one source row across the output columns across holds (red, green, blue per column).
void SumAcross(const StretchAxis& columns, const uint8_t* row, std::vector<uint32_t>& across) {
    const auto outWidth = static_cast<int32_t>(across.size() / 3);
    for (int32_t x = 0; x < outWidth; ++x) {
        uint32_t b = 0, g = 0, r = 0;
        const uint32_t* w = columns.weight.data() + columns.offset[x];
        const uint8_t* bgr = row + static_cast<size_t>(columns.first[x]) * 3;
        for (int32_t i = 0; i < columns.count[x]; ++i, bgr += 3) {
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

int32_t StretchSourceColumns(int32_t in, int32_t out, int32_t columns) {
    if (columns >= out) return in;
    return columns < 1 ? 0 : static_cast<int32_t>((int64_t{columns} * in - 1) / out + 1);
}

bool StretchAveraged(const BgrRows& src, int32_t width, int32_t height, QImage* out,
                     const QRect& dest, const std::function<bool()>& stop, int32_t wanted) {
    wanted = std::min(wanted, dest.width());
    if (width < 1 || height < 1 || wanted < 1) return true;
    const StretchAxis columns = MakeStretchAxis(width, dest.width());
    const StretchAxis rows = MakeStretchAxis(height, dest.height());
    const uint64_t total = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    std::atomic<bool> stopped = false;
    ParallelFor(static_cast<uint32_t>(dest.height()), [&](uint32_t first, uint32_t count) {
        std::vector<uint32_t> across(static_cast<size_t>(wanted) * 3);
        std::vector<uint64_t> sum(across.size());
        for (uint32_t y = first; y < first + count; ++y) {
            if (stopped.load(std::memory_order_relaxed) || stop()) {
                stopped = true;
                return;
            }
            std::fill(sum.begin(), sum.end(), 0);
            for (int32_t j = 0; j < rows.count[y]; ++j) {
                SumAcross(columns, src.first + src.stride * (rows.first[y] + j), across);
                const uint64_t rowWeight = rows.weight[rows.offset[y] + j];
                for (size_t i = 0; i < across.size(); ++i) sum[i] += rowWeight * across[i];
            }
            auto* line = reinterpret_cast<QRgb*>(out->scanLine(dest.top() + static_cast<int>(y))) +
                         dest.left();
            for (int32_t x = 0; x < wanted; ++x) {
                line[x] = qRgb(static_cast<int>((sum[x * 3 + 0] + total / 2) / total),
                               static_cast<int>((sum[x * 3 + 1] + total / 2) / total),
                               static_cast<int>((sum[x * 3 + 2] + total / 2) / total));
            }
        }
    });
    return !stopped;
}
