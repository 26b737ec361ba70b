#include <cstddef>
#include <utility>

#include "image/ConvertTasks.h"
#include "image/ImgBuff.h"
#include "image/PixelSamples.h"
#include "parallel/WorkerPool.h"

using namespace pixel_samples;

namespace {

// Pixel index range of a slice of rows.
struct PixelRange {
    size_t begin;
    size_t end;
};

PixelRange RowsToPixels(const ConvertContext& context, uint32_t first, uint32_t count) {
    const size_t width = static_cast<size_t>(context.width);
    return {static_cast<size_t>(first) * width, (static_cast<size_t>(first) + count) * width};
}

bool IsPair(const ConvertContext& context, PixelType from, PixelType to) {
    return context.source->type == from && context.targetType == to;
}

}  // namespace

void GrayFromRgbRows(void* contextPointer, uint32_t first, uint32_t count) {
    const auto& context = *static_cast<const ConvertContext*>(contextPointer);
    const PixelRange range = RowsToPixels(context, first, count);
    const uint8_t* src = context.source->pixels;
    uint8_t* dst = context.destination->pixels;
    if (IsPair(context, PT_RGB8, PT_GRAY8)) {
        for (size_t i = range.begin; i < range.end; ++i) {
            const uint8_t* p = src + 3 * i;
            dst[i] = static_cast<uint8_t>(Luma(p[0], p[1], p[2]));
        }
    } else if (IsPair(context, PT_RGB16, PT_GRAY16)) {
        for (size_t i = range.begin; i < range.end; ++i) {
            const uint8_t* p = src + 6 * i;
            Store16(dst + 2 * i, Luma(Load16(p), Load16(p + 2), Load16(p + 4)));
        }
    } else if (IsPair(context, PT_RGB32, PT_GRAY32)) {
        for (size_t i = range.begin; i < range.end; ++i) {
            const uint8_t* p = src + 12 * i;
            Store32(dst + 4 * i, Luma32(Load32(p), Load32(p + 4), Load32(p + 8)));
        }
    } else {
        ConvertRowsGeneric(contextPointer, first, count);
    }
}

namespace {

size_t SamplesPerPixel(PixelType type) {
    return type == PT_RGB8 || type == PT_RGB16 || type == PT_RGB32 ? 3 : 1;
}

// Each grey sample of W bytes becomes three equal samples.
template <size_t W>
void RepeatGreyThrice(const uint8_t* src, uint8_t* dst, PixelRange range) {
    for (size_t i = range.begin; i < range.end; ++i) {
        for (size_t c = 0; c < 3; ++c) {
            for (size_t k = 0; k < W; ++k) dst[(3 * i + c) * W + k] = src[i * W + k];
        }
    }
}

// Each sample of W bytes becomes one of 2W bytes with its bytes repeated (v x 257, v x 65537).
template <size_t W>
struct WidenSamples {
    static void Run(const uint8_t* src, uint8_t* dst, size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            for (size_t k = 0; k < W; ++k) {
                dst[2 * W * i + k] = dst[2 * W * i + W + k] = src[W * i + k];
            }
        }
    }
};

// Each sample of 2W bytes keeps its high W bytes: with little-endian samples, its last ones.
template <size_t W>
struct NarrowSamples {
    static void Run(const uint8_t* src, uint8_t* dst, size_t begin, size_t end) {
        for (size_t i = begin; i < end; ++i) {
            for (size_t k = 0; k < W; ++k) dst[W * i + k] = src[2 * W * i + W + k];
        }
    }
};

}  // namespace

void RgbFromGrayRows(void* contextPointer, uint32_t first, uint32_t count) {
    const auto& context = *static_cast<const ConvertContext*>(contextPointer);
    const PixelRange range = RowsToPixels(context, first, count);
    const uint8_t* src = context.source->pixels;
    uint8_t* dst = context.destination->pixels;
    if (IsPair(context, PT_GRAY8, PT_RGB8)) {
        RepeatGreyThrice<1>(src, dst, range);
    } else if (IsPair(context, PT_GRAY16, PT_RGB16)) {
        RepeatGreyThrice<2>(src, dst, range);
    } else if (IsPair(context, PT_GRAY32, PT_RGB32)) {
        RepeatGreyThrice<4>(src, dst, range);
    } else {
        ConvertRowsGeneric(contextPointer, first, count);
    }
}

// Widening and narrowing work sample by sample; a grey pixel has one sample, an RGB pixel three.
// Both run Samples<W> over the slice's samples, W being the narrower sample width in bytes.
template <template <size_t> class Samples>
void RunOnSamples(const ConvertContext& context, uint32_t first, uint32_t count, size_t width) {
    const PixelRange range = RowsToPixels(context, first, count);
    const size_t perPixel = SamplesPerPixel(context.source->type);
    const uint8_t* src = context.source->pixels;
    uint8_t* dst = context.destination->pixels;
    if (width == 1) {
        Samples<1>::Run(src, dst, range.begin * perPixel, range.end * perPixel);
    } else {
        Samples<2>::Run(src, dst, range.begin * perPixel, range.end * perPixel);
    }
}

void WidenRows(void* contextPointer, uint32_t first, uint32_t count) {
    const auto& context = *static_cast<const ConvertContext*>(contextPointer);
    if (IsPair(context, PT_GRAY8, PT_GRAY16) || IsPair(context, PT_RGB8, PT_RGB16)) {
        RunOnSamples<WidenSamples>(context, first, count, 1);
    } else if (IsPair(context, PT_GRAY16, PT_GRAY32) || IsPair(context, PT_RGB16, PT_RGB32)) {
        RunOnSamples<WidenSamples>(context, first, count, 2);
    } else {
        ConvertRowsGeneric(contextPointer, first, count);
    }
}

void NarrowRows(void* contextPointer, uint32_t first, uint32_t count) {
    const auto& context = *static_cast<const ConvertContext*>(contextPointer);
    if (IsPair(context, PT_GRAY16, PT_GRAY8) || IsPair(context, PT_RGB16, PT_RGB8)) {
        RunOnSamples<NarrowSamples>(context, first, count, 1);
    } else if (IsPair(context, PT_GRAY32, PT_GRAY16) || IsPair(context, PT_RGB32, PT_RGB16)) {
        RunOnSamples<NarrowSamples>(context, first, count, 2);
    } else {
        ConvertRowsGeneric(contextPointer, first, count);
    }
}

namespace {

// One sample at its own width, little-endian.
void StoreSample(uint8_t* q, uint8_t value) {
    *q = value;
}
void StoreSample(uint8_t* q, uint16_t value) {
    Store16(q, value);
}
void StoreSample(uint8_t* q, uint32_t value) {
    Store32(q, value);
}
void StoreSample(uint8_t* q, double value) {
    StoreDouble(q, value);
}

// The sample type and count of a single-pixel getter: each output pointer is one sample of the
// representation it reads, in the order that representation stores them.
template <typename Getter>
struct GetterSamples;

template <typename Sample, typename... Rest>
struct GetterSamples<int (C_ImgBuff::*)(int32_t, int32_t, Sample*, Rest...) const> {
    using Type = Sample;
    static constexpr size_t count = 1 + sizeof...(Rest);
};

// Calls the getter with one output pointer per sample.
template <auto Get, typename Sample, size_t... I>
void ReadPixel(const C_ImgBuff& source, int32_t x, int32_t y, Sample* v,
               std::index_sequence<I...>) {
    (source.*Get)(x, y, (v + I)...);
}

// Fills every destination pixel of a slice of rows with what the getter reads from the source
// pixel at the same place. The getter is a template argument so each call is a direct one.
template <auto Get>
void StoreFromGetter(const ConvertContext& context, uint32_t first, uint32_t count) {
    using Sample = typename GetterSamples<decltype(Get)>::Type;
    constexpr size_t samples = GetterSamples<decltype(Get)>::count;
    const C_ImgBuff& source = *context.source;
    C_ImgBuff& destination = *context.destination;
    const size_t bytesPerPixel = kBytesPerPixel[context.targetType];
    for (uint32_t row = first; row < first + count; ++row) {
        const int32_t y = static_cast<int32_t>(row);
        uint8_t* q = destination.pixels + static_cast<size_t>(row) *
                                              static_cast<size_t>(destination.width) *
                                              bytesPerPixel;
        for (int32_t x = 0; x < context.width; ++x, q += bytesPerPixel) {
            Sample v[samples]{};
            ReadPixel<Get>(source, x, y, v, std::make_index_sequence<samples>{});
            for (size_t i = 0; i < samples; ++i) StoreSample(q + i * sizeof(Sample), v[i]);
        }
    }
}

}  // namespace

void ConvertRowsGeneric(void* contextPointer, uint32_t first, uint32_t count) {
    const auto& context = *static_cast<const ConvertContext*>(contextPointer);
    switch (context.targetType) {
        case PT_GRAY8:
            StoreFromGetter<&C_ImgBuff::GetGray8>(context, first, count);
            break;
        case PT_GRAY16:
            StoreFromGetter<&C_ImgBuff::GetGray16>(context, first, count);
            break;
        case PT_GRAY32:
            StoreFromGetter<&C_ImgBuff::GetGray32>(context, first, count);
            break;
        case PT_RGB8:
            StoreFromGetter<&C_ImgBuff::GetRGB8>(context, first, count);
            break;
        case PT_RGB16:
            StoreFromGetter<&C_ImgBuff::GetRGB16>(context, first, count);
            break;
        case PT_RGB32:
            StoreFromGetter<&C_ImgBuff::GetRGB32>(context, first, count);
            break;
        case PT_XYZ:
            StoreFromGetter<&C_ImgBuff::GetXYZ>(context, first, count);
            break;
        case PT_HSV16:
            StoreFromGetter<&C_ImgBuff::GetHSV16>(context, first, count);
            break;
        case PT_CMYK8:
            StoreFromGetter<&C_ImgBuff::GetCMYK8>(context, first, count);
            break;
        default:
            break;
    }
}

RowTask ChooseConvertTask(PixelType from, PixelType to) {
    if ((from == PT_RGB8 && to == PT_GRAY8) || (from == PT_RGB16 && to == PT_GRAY16) ||
        (from == PT_RGB32 && to == PT_GRAY32)) {
        return GrayFromRgbRows;
    }
    if ((from == PT_GRAY8 && to == PT_RGB8) || (from == PT_GRAY16 && to == PT_RGB16) ||
        (from == PT_GRAY32 && to == PT_RGB32)) {
        return RgbFromGrayRows;
    }
    if ((from == PT_GRAY8 && to == PT_GRAY16) || (from == PT_GRAY16 && to == PT_GRAY32) ||
        (from == PT_RGB8 && to == PT_RGB16) || (from == PT_RGB16 && to == PT_RGB32)) {
        return WidenRows;
    }
    if ((from == PT_GRAY32 && to == PT_GRAY16) || (from == PT_GRAY16 && to == PT_GRAY8) ||
        (from == PT_RGB32 && to == PT_RGB16) || (from == PT_RGB16 && to == PT_RGB8)) {
        return NarrowRows;
    }
    return ConvertRowsGeneric;
}

int C_ImgBuff::ConvertType(PixelType newType) {
    if (type == PT_NONE) return 0;
    if (newType == type) return 1;
    C_ImgBuff converted;
    if (!converted.Create(width, height, newType)) return 0;

    ConvertContext context{newType, this, &converted, width};
    WorkerPool::Run(ChooseConvertTask(type, newType), &context, static_cast<unsigned>(height));

    // The converted pixels move here; the old ones go with the temporary.
    Swap(converted);
    return 1;
}
