#include "imageio/tiff/TiffReader.h"
#include "imageio/tiff/TiffReaderTesting.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "image/ColorModel.h"
#include "image/ImgBuff.h"
#include "image/PixelPlanes.h"
#include "image/PixelSamples.h"
#include "imageio/tiff/TiffOrientation.h"
#include "parallel/WorkerPool.h"

using namespace tiff_format;

namespace {

enum class TiffKind { None, Grey1, Grey4, Grey8, Grey16, Rgb8, Rgb16 };

TiffKind KindOf(const TiffImageInfo* info) {
    if (info->photometric == kRgb) {
        if (info->rgbBitsPerSample[0] == 8) return TiffKind::Rgb8;
        if (info->rgbBitsPerSample[0] == 16) return TiffKind::Rgb16;
        return TiffKind::None;
    }
    if (info->photometric != kWhiteIsZero && info->photometric != kBlackIsZero) {
        return TiffKind::None;
    }
    switch (info->greyBitsPerSample) {
        case 1:
            return TiffKind::Grey1;
        case 4:
            return TiffKind::Grey4;
        case 8:
            return TiffKind::Grey8;
        case 16:
            return TiffKind::Grey16;
        default:
            return TiffKind::None;
    }
}

// File offset of strip s; 0 when the strip has no offset.
int GetStripStart(const TiffImageInfo* info, uint32_t s, uint32_t* start) {
    uint32_t offset = GetTiffValueOffset(info->ifd, &info->stripOffsets, s);
    if (!offset) return 0;
    *start = info->stripOffsets.type == kTypeShort ? ReadTiffShort(info->ifd, offset)
                                                   : ReadTiffLong(info->ifd, offset);
    return 1;
}

bool Is16Bit(TiffKind kind) {
    return kind == TiffKind::Grey16 || kind == TiffKind::Rgb16;
}

// Bytes from the start of a row to the first byte of pixel x.
uint64_t ColumnOffset(TiffKind kind, uint32_t x) {
    switch (kind) {
        case TiffKind::Grey1:
            return x / 8;
        case TiffKind::Grey4:
            return x / 2;
        case TiffKind::Grey8:
            return x;
        case TiffKind::Grey16:
            return 2 * uint64_t{x};
        case TiffKind::Rgb8:
            return 3 * uint64_t{x};
        default:
            return 6 * uint64_t{x};
    }
}

// Bytes that must lie within the file for one pixel to be read.
uint32_t PixelLength(TiffKind kind) {
    switch (kind) {
        case TiffKind::Grey16:
            return 2;
        case TiffKind::Rgb8:
            return 3;
        case TiffKind::Rgb16:
            return 6;
        default:
            return 1;
    }
}

// Bytes of one row of at least one pixel; each row starts on a byte boundary.
uint64_t RowBytes(TiffKind kind, uint32_t width) {
    return ColumnOffset(kind, width - 1) + PixelLength(kind);
}

// File offset of the first byte of pixel (x, y) for an image of the given kind; 0 when the pixel
// is outside the image, its strip is missing, or its bytes do not lie within the file.
uint32_t LocatePixel(const TiffImageInfo* info, TiffKind kind, uint32_t x, uint32_t y) {
    if (!info->ifd || x >= info->imageWidth || y >= info->imageLength || !info->rowsPerStrip) {
        return 0;
    }
    uint32_t start;
    if (!GetStripStart(info, y / info->rowsPerStrip, &start)) return 0;
    uint64_t row = RowBytes(kind, info->imageWidth) * (y % info->rowsPerStrip);
    uint64_t position = start + row + ColumnOffset(kind, x);
    if (position + PixelLength(kind) > info->ifd->size) return 0;
    return static_cast<uint32_t>(position);
}

// The channels of the pixel whose first byte is at p, at the kind's own sample width: 16 bits
// for Grey16 and Rgb16, 8 bits for the others. x places a sample of 1 or 4 bits within its byte.
// Inlined with a constant kind, the row decoder keeps no per-pixel dispatch.
inline void ReadPixel(TiffKind kind, const uint8_t* p, uint32_t x, uint16_t byteOrder,
                      bool whiteIsZero, uint32_t rgb[3]) {
    uint32_t grey;
    switch (kind) {
        case TiffKind::Rgb8:
            rgb[0] = p[0], rgb[1] = p[1], rgb[2] = p[2];
            return;
        case TiffKind::Rgb16:
            rgb[0] = Load16(p, byteOrder);
            rgb[1] = Load16(p + 2, byteOrder);
            rgb[2] = Load16(p + 4, byteOrder);
            return;
        case TiffKind::Grey16:
            grey = Load16(p, byteOrder);
            if (whiteIsZero) grey = 65535 - grey;
            rgb[0] = rgb[1] = rgb[2] = grey;
            return;
        case TiffKind::Grey8:
            grey = p[0];
            break;
        case TiffKind::Grey4:
            grey = ((x & 1) ? (p[0] & 0x0F) : (p[0] >> 4)) * 17u;
            break;
        default:
            grey = (p[0] & (0x80 >> (x & 7))) ? 255 : 0;
            break;
    }
    if (whiteIsZero) grey = 255 - grey;
    rgb[0] = rgb[1] = rgb[2] = grey;
}

// Pixel (x, y) at the kind's own sample width; 0 when LocatePixel cannot place it.
int FetchPixel(const TiffImageInfo* info, TiffKind kind, uint32_t x, uint32_t y, uint32_t rgb[3]) {
    const uint32_t position = LocatePixel(info, kind, x, y);
    if (!position) return 0;
    ReadPixel(kind, info->ifd->bytes + position, x, info->ifd->byteOrder,
              info->photometric == kWhiteIsZero, rgb);
    return 1;
}

template <typename Channel>
void PutChannels(Channel* r, Channel* g, Channel* b, const uint32_t rgb[3]) {
    if (r) *r = static_cast<Channel>(rgb[0]);
    if (g) *g = static_cast<Channel>(rgb[1]);
    if (b) *b = static_cast<Channel>(rgb[2]);
}

// The PT_HSV16 pixel of channels at the kind's own sample width; 8-bit samples are widened by
// repeating the byte, as the buffer's own setters do.
void StoreHsv(TiffKind kind, const uint32_t rgb[3], uint8_t* pixel) {
    const uint32_t scale = Is16Bit(kind) ? 1 : 257;
    uint16_t h, s, v;
    RgbToHsv16(static_cast<uint16_t>(rgb[0] * scale), static_cast<uint16_t>(rgb[1] * scale),
               static_cast<uint16_t>(rgb[2] * scale), &h, &s, &v);
    pixel_samples::Store16(pixel, h);
    pixel_samples::Store16(pixel + 2, s);
    pixel_samples::Store16(pixel + 4, v);
}

// 1 when the tag is absent or its first value is the SHORT 1; used for fields that, with any
// other value, describe a layout this reader does not decode.
int TagAbsentOrOne(const TiffIfd* ifd, uint16_t tag) {
    TiffEntry entry;
    if (!FindTiffTag(ifd, tag, &entry)) return 1;
    uint16_t value;
    return GetTiffShortTag(ifd, tag, &value) && value == 1;
}

// Fields that ReadTiffImageInfo lets through but that would be decoded wrongly: extra or missing
// samples, separate planes, reversed bit order, signed or floating-point samples.
int IsPlainLayout(const TiffIfd* ifd, const TiffImageInfo* info) {
    uint32_t samples = 1;
    if (info->photometric == kRgb) {
        if (info->samplesPerPixel != 3) return 0;
        samples = 3;
    } else {
        uint32_t greySamples;
        if (GetTiffShortOrLongTag(ifd, kTagSamplesPerPixel, &greySamples) && greySamples > 1) {
            return 0;
        }
    }
    if (!TagAbsentOrOne(ifd, kTagPlanarConfiguration) || !TagAbsentOrOne(ifd, kTagFillOrder)) {
        return 0;
    }
    TiffEntry format;
    if (FindTiffTag(ifd, kTagSampleFormat, &format)) {
        for (uint32_t i = 0; i < format.count && i < samples; ++i) {
            uint32_t offset = GetTiffValueOffset(ifd, &format, i);
            if (!offset || format.type != kTypeShort || ReadTiffShort(ifd, offset) != 1) return 0;
        }
    }
    return 1;
}

struct CheckStripsContext {
    const TiffImageInfo* info;
    uint64_t rowBytes;
    std::atomic<uint64_t> firstMissingRow;
};

// The first row of the image whose bytes are not all within the file: a strip without offset, or
// one cut short by the file's end, keeps the rows it holds whole.
void CheckStripsTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<CheckStripsContext*>(context);
    const TiffImageInfo* info = c->info;
    const uint64_t size = info->ifd->size;
    for (uint32_t s = first; s < first + count; ++s) {
        const uint64_t firstRow = uint64_t{s} * info->rowsPerStrip;
        uint64_t rows = info->imageLength - firstRow;
        if (rows > info->rowsPerStrip) rows = info->rowsPerStrip;
        uint32_t start;
        if (!GetStripStart(info, s, &start) || !start) {
            rows = 0;
        } else if (start + c->rowBytes * rows > size) {
            rows = start < size ? (size - start) / c->rowBytes : 0;
        } else {
            continue;
        }
        const uint64_t missing = firstRow + rows;
        uint64_t known = c->firstMissingRow.load(std::memory_order_relaxed);
        while (missing < known && !c->firstMissingRow.compare_exchange_weak(
                                      known, missing, std::memory_order_relaxed)) {
        }
    }
}

// Checks sizes and strips against the file before anything is allocated for the pixels. Sets
// *presentRows to the rows above the first whose strip is missing or cut short; there is at
// least one.
int CheckLayout(const TiffImageInfo* info, TiffKind kind, uint32_t* presentRows) {
    const uint32_t width = info->imageWidth;
    const uint32_t height = info->imageLength;
    if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) return 0;
    if (!info->rowsPerStrip) return 0;
    const TiffEntry& offsets = info->stripOffsets;
    if (offsets.count < 1 || (offsets.type != kTypeShort && offsets.type != kTypeLong)) return 0;

    // A declared size far beyond what the file holds is refused before the buffer is made for it;
    // a file cut short is taken while it holds a quarter of the pixel bytes.
    uint64_t rowBytes = RowBytes(kind, width);
    if (rowBytes > info->ifd->size || rowBytes * height > info->ifd->size * 4) return 0;

    uint64_t strips = (uint64_t{height} + info->rowsPerStrip - 1) / info->rowsPerStrip;
    uint32_t present = offsets.count < strips ? offsets.count : static_cast<uint32_t>(strips);
    CheckStripsContext context{info, rowBytes, {uint64_t{present} * info->rowsPerStrip}};
    WorkerPool::Run(CheckStripsTask, &context, present);
    const uint64_t rows = std::min<uint64_t>(context.firstMissingRow.load(), height);
    if (rows == 0) return 0;
    *presentRows = static_cast<uint32_t>(rows);
    return 1;
}

struct DecodeRowsContext {
    const TiffImageInfo* info;
    C_ImgBuff* target;
    uint32_t presentRows;
    // PT_HSV16 of the last pixel that has a strip, for the rows that have none.
    uint8_t fallback[6];
};

// A pixel that cannot be fetched takes the value of the one before it in scan order. CheckLayout
// has placed every row above the first missing one within the file, so a row either reads all its
// pixels from its strip or repeats the fallback throughout.
template <TiffKind Kind>
void DecodeRowsTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<DecodeRowsContext*>(context);
    const TiffImageInfo* info = c->info;
    const uint32_t width = info->imageWidth;
    const uint16_t byteOrder = info->ifd->byteOrder;
    const bool whiteIsZero = info->photometric == kWhiteIsZero;
    const uint64_t rowBytes = RowBytes(Kind, width);
    constexpr size_t kPixelBytes = 6;
    for (uint32_t y = first; y < first + count; ++y) {
        uint8_t* out = c->target->pixels + size_t{y} * width * kPixelBytes;
        if (y >= c->presentRows) {
            for (uint32_t x = 0; x < width; ++x) {
                std::memcpy(out + x * kPixelBytes, c->fallback, kPixelBytes);
            }
            continue;
        }
        uint32_t start = 0;
        GetStripStart(info, y / info->rowsPerStrip, &start);
        const uint8_t* row = info->ifd->bytes + start + rowBytes * (y % info->rowsPerStrip);
        if constexpr (Kind == TiffKind::Rgb16) {
            // Brought to native order a run at a time, for the one conversion of 16-bit RGB rows.
            constexpr uint32_t kRun = 256;
            uint16_t rgb[3 * kRun];
            for (uint32_t x = 0; x < width; x += kRun) {
                const uint32_t n = std::min(kRun, width - x);
                for (uint32_t i = 0; i < 3 * n; ++i)
                    rgb[i] = Load16(row + 6 * x + 2 * i, byteOrder);
                Rgb16PixelsToHsv16(rgb, 3, reinterpret_cast<uint16_t*>(out + x * kPixelBytes), n);
            }
            continue;
        }
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t rgb[3];
            ReadPixel(Kind, row + ColumnOffset(Kind, x), x, byteOrder, whiteIsZero, rgb);
            StoreHsv(Kind, rgb, out + x * kPixelBytes);
        }
    }
}

RowTask DecodeTaskFor(TiffKind kind) {
    switch (kind) {
        case TiffKind::Grey1:
            return DecodeRowsTask<TiffKind::Grey1>;
        case TiffKind::Grey4:
            return DecodeRowsTask<TiffKind::Grey4>;
        case TiffKind::Grey8:
            return DecodeRowsTask<TiffKind::Grey8>;
        case TiffKind::Grey16:
            return DecodeRowsTask<TiffKind::Grey16>;
        case TiffKind::Rgb8:
            return DecodeRowsTask<TiffKind::Rgb8>;
        default:
            return DecodeRowsTask<TiffKind::Rgb16>;
    }
}

}  // namespace

int GetTiffPixel8(const TiffImageInfo* info, uint32_t x, uint32_t y, uint8_t* r, uint8_t* g,
                  uint8_t* b) {
    if (!info) return 0;
    const TiffKind kind = KindOf(info);
    uint32_t rgb[3];
    if (kind == TiffKind::None || Is16Bit(kind) || !FetchPixel(info, kind, x, y, rgb)) return 0;
    PutChannels(r, g, b, rgb);
    return 1;
}

int GetTiffPixel16(const TiffImageInfo* info, uint32_t x, uint32_t y, uint16_t* r, uint16_t* g,
                   uint16_t* b) {
    if (!info) return 0;
    const TiffKind kind = KindOf(info);
    uint32_t rgb[3];
    if (!Is16Bit(kind) || !FetchPixel(info, kind, x, y, rgb)) return 0;
    PutChannels(r, g, b, rgb);
    return 1;
}

int LoadTiffFile(const TiffFile* file, CImgBuff* target, PhotoError* error, int* bitsPerChannel,
                 int32_t* damagedRows) {
    SetPhotoError(error, PhotoFailure::NotAPhoto, "not a TIFF file the own reader takes");
    if (!file || !target) return 0;
    TiffIfd ifd;
    TiffImageInfo info;
    if (!OpenTiffIfd(file, &ifd) || !ReadTiffImageInfo(&ifd, &info)) return 0;
    if (info.compression != 1 || info.photometric > kRgb) return 0;
    const TiffKind kind = KindOf(&info);
    uint32_t presentRows;
    if (kind == TiffKind::None || !IsPlainLayout(&ifd, &info) ||
        !CheckLayout(&info, kind, &presentRows)) {
        return 0;
    }
    // The upright copy is made before the target is touched, so that a picture that cannot be
    // turned for want of memory leaves the target as it was.
    const TiffOrientation orientation = ReadOrientation(&ifd);
    C_ImgBuff upright;
    if (!IsUpright(orientation)) {
        const uint32_t width = orientation.transposed ? info.imageLength : info.imageWidth;
        const uint32_t height = orientation.transposed ? info.imageWidth : info.imageLength;
        if (!upright.Create(static_cast<int32_t>(width), static_cast<int32_t>(height), PT_HSV16)) {
            SetPhotoError(error, PhotoFailure::NotEnoughMemory, "not enough memory");
            return 0;
        }
    }
    if (!target->buffer->Create(static_cast<int32_t>(info.imageWidth),
                                static_cast<int32_t>(info.imageLength), PT_HSV16)) {
        SetPhotoError(error, PhotoFailure::NotEnoughMemory, "not enough memory");
        return 0;
    }

    DecodeRowsContext context{&info, target->buffer, presentRows, {}};
    if (presentRows < info.imageLength) {
        uint32_t rgb[3] = {0, 0, 0};
        FetchPixel(&info, kind, info.imageWidth - 1, presentRows - 1, rgb);
        StoreHsv(kind, rgb, context.fallback);
    }
    WorkerPool::Run(DecodeTaskFor(kind), &context, info.imageLength);

    if (!IsUpright(orientation)) {
        C_ImgBuff* stored = target->buffer;
        OrientRows(stored, &upright, orientation);
        // The upright block moves into the target; the stored one leaves with the temporary.
        stored->Swap(upright);
    }
    if (bitsPerChannel) *bitsPerChannel = Is16Bit(kind) ? 16 : 8;
    if (damagedRows) *damagedRows = static_cast<int32_t>(info.imageLength - presentRows);
    return 1;
}

int LoadTiff(const char* path, CImgBuff* target) {
    if (!path || !target) return 0;
    const FileDescriptor fd(OpenPhotoFile(path, nullptr));
    struct stat status;
    if (fd.get() < 0 || fstat(fd.get(), &status) != 0) return 0;
    TiffFile* file = ReadTiffFile(fd.get(), static_cast<uint64_t>(status.st_size), nullptr);
    if (!file) return 0;
    const int loaded = LoadTiffFile(file, target);
    FreeTiffFile(file);
    return loaded;
}
