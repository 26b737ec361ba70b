#include "app/display/DisplayDib.h"

#include <cstring>

#include "image/PixelMemory.h"
#include "image/PixelPlanes.h"
#include "image/PixelSamples.h"
#include "parallel/WorkerPool.h"

namespace {

using pixel_samples::Load16;

bool IsRgbType(PixelType type) {
    return type == PT_RGB8 || type == PT_RGB16 || type == PT_HSV16;
}

uint8_t* BitmapRow(const DisplayDibContext* c, uint32_t y) {
    return DibPixels(c->dib) +
           static_cast<size_t>(c->height - 1 - static_cast<int32_t>(y)) * c->stride;
}

// The row loop of the 24-bit tasks: toBgr turns one source pixel of kSourceBytes into the
// bitmap's blue, green and red bytes.
template <size_t kSourceBytes, typename PixelToBgr>
void WriteBgrRows(void* context, uint32_t first, uint32_t count, PixelToBgr toBgr) {
    auto* c = static_cast<DisplayDibContext*>(context);
    const size_t rowBytes = static_cast<size_t>(c->width) * kSourceBytes;
    for (uint32_t y = first; y < first + count; ++y) {
        const uint8_t* src = c->image->buffer->pixels + y * rowBytes;
        uint8_t* dst = BitmapRow(c, y);
        for (int32_t x = 0; x < c->width; ++x, src += kSourceBytes, dst += 3) toBgr(src, dst);
    }
}

void WriteHeader(DibHeader* dib, int32_t width, int32_t height, uint16_t bitCount,
                 uint32_t stride) {
    dib->headerSize = sizeof(DibHeader);
    dib->width = width;
    dib->height = height;
    dib->planes = 1;
    dib->bitCount = bitCount;
    dib->compression = 0;
    dib->imageSize = stride * static_cast<uint32_t>(height);
    dib->xPixelsPerMeter = 0;
    dib->yPixelsPerMeter = 0;
    dib->colorsUsed = bitCount == 8 ? 256 : 0;
    dib->colorsImportant = 0;
    if (bitCount == 8) {
        uint8_t* palette = DibPalette(dib);
        for (uint32_t i = 0; i < 256; ++i) {
            palette[i * 4 + 0] = static_cast<uint8_t>(i);
            palette[i * 4 + 1] = static_cast<uint8_t>(i);
            palette[i * 4 + 2] = static_cast<uint8_t>(i);
            palette[i * 4 + 3] = 0;
        }
    }
}

}  // namespace

void FreeDisplayDib(DibHeader* dib) {
    FreePixelMemory(reinterpret_cast<uint8_t*>(dib));
}

namespace {

// old when it may be refilled and has the size, else a new bitmap with its header written (old
// released); null on failure.
DibHeader* ReuseOrAllocate(int32_t width, int32_t height, uint16_t bitCount, DibHeader* old,
                           bool refillable) {
    if (old && refillable && old->width == width && old->height == height) return old;
    FreeDisplayDib(old);
    // Computed in 64 bits: a huge image must be refused, not wrap into a small block.
    const uint64_t stride = (static_cast<uint64_t>(width) * (bitCount / 8u) + 3u) & ~3ull;
    const uint64_t length =
        (bitCount == 8 ? sizeof(DibHeader) + kDibPaletteBytes : sizeof(DibHeader)) +
        stride * static_cast<uint64_t>(height);
    auto* dib = reinterpret_cast<DibHeader*>(AllocPixelMemory(length));
    if (!dib) return nullptr;
    WriteHeader(dib, width, height, bitCount, static_cast<uint32_t>(stride));
    return dib;
}

}  // namespace

DibHeader* MakeDisplayDib(CImgBuff* image, DibHeader* old) {
    int32_t width = 0;
    int32_t height = 0;
    PixelType type = PT_NONE;
    if (!image || !image->buffer->GetInfo(&width, &height, &type, nullptr)) {
        FreeDisplayDib(old);
        return nullptr;
    }
    const uint16_t bitCount = IsRgbType(type) ? 24 : 8;
    const bool refillable =
        old && ((old->bitCount == 24 && IsRgbType(type)) ||
                (old->bitCount == 8 && (type == PT_GRAY8 || type == PT_GRAY16)));
    DibHeader* dib = ReuseOrAllocate(width, height, bitCount, old, refillable);
    if (!dib) return nullptr;

    if (height > 0) {
        DisplayDibContext context{width, height, DibStride(width, dib->bitCount), image, dib};
        RowTask task = DibRowsGrayTask;
        if (type == PT_RGB8) task = DibRowsRgb8Task;
        if (type == PT_RGB16) task = DibRowsRgb16Task;
        if (type == PT_HSV16) task = DibRowsHsv16Task;
        WorkerPool::Run(task, &context, static_cast<unsigned>(height));
    }
    return dib;
}

DibHeader* ReserveDisplayDib(int32_t width, int32_t height, DibHeader* old) {
    if (width < 1 || height < 1) {
        FreeDisplayDib(old);
        return nullptr;
    }
    return ReuseOrAllocate(width, height, 24, old, old && old->bitCount == 24);
}

BgrRows DibRows(DibHeader* dib) {
    const auto stride = static_cast<ptrdiff_t>(DibStride(dib->width, dib->bitCount));
    return {DibPixels(dib) + (dib->height - 1) * stride, -stride};
}

void DibRowsRgb8Task(void* context, uint32_t first, uint32_t count) {
    WriteBgrRows<3>(context, first, count, [](const uint8_t* src, uint8_t* dst) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
    });
}

void DibRowsRgb16Task(void* context, uint32_t first, uint32_t count) {
    WriteBgrRows<6>(context, first, count, [](const uint8_t* src, uint8_t* dst) {
        dst[0] = static_cast<uint8_t>(Load16(src + 4) >> 8);
        dst[1] = static_cast<uint8_t>(Load16(src + 2) >> 8);
        dst[2] = static_cast<uint8_t>(Load16(src) >> 8);
    });
}

void DibRowsHsv16Task(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<DisplayDibContext*>(context);
    const size_t width = static_cast<size_t>(c->width);
    const auto* pixels = reinterpret_cast<const uint16_t*>(c->image->buffer->pixels);
    for (uint32_t y = first; y < first + count; ++y)
        Hsv16ToHighBytes(pixels + y * width * 3, BitmapRow(c, y), width, ByteOrder::kBgr);
}

void DibRowsGrayTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<DisplayDibContext*>(context);
    const C_ImgBuff* source = c->image->buffer;
    for (uint32_t y = first; y < first + count; ++y) {
        uint8_t* dst = BitmapRow(c, y);
        for (int32_t x = 0; x < c->width; ++x) {
            uint8_t grey = 0;
            source->GetGray8(x, static_cast<int32_t>(y), &grey);
            dst[x] = grey;
        }
        std::memset(dst + c->width, 0, c->stride - static_cast<uint32_t>(c->width));
    }
}
