#include "imageio/TiffReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/ColorModel.h"
#include "image/ImgBuff.h"
#include "image/PixelSamples.h"
#include "parallel/WorkerPool.h"

namespace {

enum : uint16_t {
    kTagImageWidth = 256,
    kTagImageLength = 257,
    kTagBitsPerSample = 258,
    kTagCompression = 259,
    kTagPhotometric = 262,
    kTagFillOrder = 266,
    kTagOrientation = 274,
    kTagStripOffsets = 273,
    kTagSamplesPerPixel = 277,
    kTagRowsPerStrip = 278,
    kTagStripByteCounts = 279,
    kTagXResolution = 282,
    kTagYResolution = 283,
    kTagPlanarConfiguration = 284,
    kTagResolutionUnit = 296,
    kTagSampleFormat = 339,
};

enum : uint16_t { kTypeShort = 3, kTypeLong = 4, kTypeRational = 5 };

enum : uint16_t { kWhiteIsZero = 0, kBlackIsZero = 1, kRgb = 2, kPalette = 3 };

constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kEntrySize = 12;

uint16_t Load16(const uint8_t* p, uint16_t byteOrder) {
    if (byteOrder == kTiffBigEndian) return static_cast<uint16_t>(p[0] << 8 | p[1]);
    return pixel_samples::Load16(p);
}

uint32_t Load32(const uint8_t* p, uint16_t byteOrder) {
    if (byteOrder == kTiffBigEndian) {
        return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    }
    return pixel_samples::Load32(p);
}

int IsByteOrderMark(const uint8_t* header) {
    return (header[0] == 0x49 && header[1] == 0x49) || (header[0] == 0x4D && header[1] == 0x4D);
}

// One zero-filled block for the record and the file's bytes, so that a single free releases both.
TiffFile* AllocTiffFile(uint32_t size) {
    void* block = std::calloc(1, sizeof(TiffFile) + size);
    if (!block) return nullptr;
    TiffFile* file = static_cast<TiffFile*>(block);
    file->size = size;
    file->bytes = reinterpret_cast<uint8_t*>(file + 1);
    return file;
}

void ParseTiffHeader(TiffFile* file) {
    file->byteOrder = static_cast<uint16_t>(file->bytes[0] << 8 | file->bytes[1]);
    file->version = Load16(file->bytes + 2, file->byteOrder);
    file->ifdOffset = Load32(file->bytes + 4, file->byteOrder);
}

// Reads the first size bytes of the file, retrying after interruptions and partial reads.
int ReadFully(int fd, uint8_t* destination, uint64_t size, PhotoError* error) {
    uint64_t done = 0;
    while (done < size) {
        const uint64_t left = size - done;
        const size_t chunk = left > (1u << 30) ? (1u << 30) : static_cast<size_t>(left);
        const ssize_t got = pread(fd, destination + done, chunk, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            SetErrnoError(error, errno);
            return 0;
        }
        if (got == 0) {
            SetPhotoError(error, PhotoFailure::NotAPhoto, "the file ended while it was read");
            return 0;
        }
        done += static_cast<uint64_t>(got);
    }
    return 1;
}

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
    std::atomic<int> failed;
};

// Every strip that holds rows of the image must have a non-zero offset and lie within the file.
void CheckStripsTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<CheckStripsContext*>(context);
    const TiffImageInfo* info = c->info;
    for (uint32_t s = first; s < first + count; ++s) {
        uint32_t start;
        if (!GetStripStart(info, s, &start) || !start) {
            c->failed.store(1, std::memory_order_relaxed);
            return;
        }
        uint64_t firstRow = uint64_t{s} * info->rowsPerStrip;
        uint64_t rows = info->imageLength - firstRow;
        if (rows > info->rowsPerStrip) rows = info->rowsPerStrip;
        if (start + c->rowBytes * rows > info->ifd->size) {
            c->failed.store(1, std::memory_order_relaxed);
            return;
        }
    }
}

// Checks sizes and strips against the file before anything is allocated for the pixels. Sets
// *presentRows to the rows whose strips exist; the rows below them have no strip.
int CheckLayout(const TiffImageInfo* info, TiffKind kind, uint32_t* presentRows) {
    const uint32_t width = info->imageWidth;
    const uint32_t height = info->imageLength;
    if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) return 0;
    if (!info->rowsPerStrip) return 0;
    const TiffEntry& offsets = info->stripOffsets;
    if (offsets.count < 1 || (offsets.type != kTypeShort && offsets.type != kTypeLong)) return 0;

    // A declared size the file could not hold is refused before the buffer is made for it.
    uint64_t rowBytes = RowBytes(kind, width);
    if (rowBytes > info->ifd->size || rowBytes * height > info->ifd->size) return 0;

    uint64_t strips = (uint64_t{height} + info->rowsPerStrip - 1) / info->rowsPerStrip;
    uint32_t present = offsets.count < strips ? offsets.count : static_cast<uint32_t>(strips);
    CheckStripsContext context{info, rowBytes, {0}};
    WorkerPool::Run(CheckStripsTask, &context, present);
    if (context.failed.load()) return 0;

    uint64_t rows = uint64_t{present} * info->rowsPerStrip;
    *presentRows = rows < height ? static_cast<uint32_t>(rows) : height;
    return 1;
}

struct DecodeRowsContext {
    const TiffImageInfo* info;
    C_ImgBuff* target;
    uint32_t presentRows;
    // PT_HSV16 of the last pixel that has a strip, for the rows that have none.
    uint8_t fallback[6];
};

// A pixel that cannot be fetched takes the value of the one before it in scan order. Only whole
// strips at the end can be missing, and CheckLayout has placed every row above them within the
// file, so a row either reads all its pixels from its strip or repeats the fallback throughout.
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

// How the stored rows map onto the upright picture: upright pixel (x, y) is stored pixel (u, v),
// where (u, v) is (y, x) when transposed and (x, y) otherwise, then mirrored as flagged.
struct TiffOrientation {
    bool transposed;
    bool flipX;  // u counts from the right
    bool flipY;  // v counts from the bottom
};

// Orientation 1 (stored upright) for a value outside 1..8.
TiffOrientation OrientationFor(uint16_t value) {
    static const TiffOrientation kOrientations[9] = {
        {false, false, false},  // unused
        {false, false, false},  // 1 top-left: as stored
        {false, true, false},   // 2 top-right: mirrored left to right
        {false, true, true},    // 3 bottom-right: turned 180 degrees
        {false, false, true},   // 4 bottom-left: mirrored top to bottom
        {true, false, false},   // 5 left-top: rows stored as columns
        {true, false, true},    // 6 right-top: turned 90 degrees clockwise to display
        {true, true, true},     // 7 right-bottom: transverse
        {true, true, false},    // 8 left-bottom: turned 90 degrees counter-clockwise to display
    };
    return kOrientations[value >= 1 && value <= 8 ? value : 1];
}

// Orientation 1 when the tag is absent or not a SHORT.
TiffOrientation ReadOrientation(const TiffIfd* ifd) {
    uint16_t value;
    return OrientationFor(GetTiffShortTag(ifd, kTagOrientation, &value) ? value : 1);
}

bool IsUpright(const TiffOrientation& o) {
    return !o.transposed && !o.flipX && !o.flipY;
}

struct OrientRowsContext {
    const C_ImgBuff* stored;
    C_ImgBuff* upright;
    TiffOrientation orientation;
};

// Fills rows of the upright picture from the stored one; each upright row is a straight run of
// stored pixels, so only its start and step are worked out per row.
void OrientRowsTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<OrientRowsContext*>(context);
    const TiffOrientation& o = c->orientation;
    const ptrdiff_t pixelBytes = kBytesPerPixel[PT_HSV16];
    const ptrdiff_t storedWidth = c->stored->width;
    const ptrdiff_t storedHeight = c->stored->height;
    const ptrdiff_t rowBytes = storedWidth * pixelBytes;
    const size_t uprightWidth = static_cast<size_t>(c->upright->width);
    for (uint32_t y = first; y < first + count; ++y) {
        ptrdiff_t u, v, step;
        if (o.transposed) {
            u = o.flipX ? storedWidth - 1 - y : y;
            v = o.flipY ? storedHeight - 1 : 0;
            step = o.flipY ? -rowBytes : rowBytes;
        } else {
            u = o.flipX ? storedWidth - 1 : 0;
            v = o.flipY ? storedHeight - 1 - y : y;
            step = o.flipX ? -pixelBytes : pixelBytes;
        }
        const uint8_t* from = c->stored->pixels + v * rowBytes + u * pixelBytes;
        uint8_t* to = c->upright->pixels + y * uprightWidth * pixelBytes;
        for (size_t x = 0; x < uprightWidth; ++x, from += step, to += pixelBytes) {
            std::memcpy(to, from, pixelBytes);
        }
    }
}

}  // namespace

namespace {

// What the first directory declares, read before the whole file is.
struct TiffDeclaredSize {
    uint32_t width;
    uint32_t height;
    bool turned;  // an Orientation other than upright: a second buffer is needed
};

// Reads only the header and the first directory: the declared size, so that a picture that can
// never be held is refused before the file is read whole. 0 when the file is not a TIFF whose
// size fields the own reader takes.
int ReadTiffDeclaredSize(int fd, uint64_t size, TiffDeclaredSize* declared) {
    uint8_t header[kHeaderSize];
    if (size < kHeaderSize || size > UINT32_MAX ||
        pread(fd, header, kHeaderSize, 0) != kHeaderSize || !IsByteOrderMark(header)) {
        return 0;
    }
    const uint16_t order = static_cast<uint16_t>(header[0] << 8 | header[1]);
    const uint32_t offset = Load32(header + 4, order);
    uint8_t countBytes[2];
    if (uint64_t{offset} + 2 > size || pread(fd, countBytes, 2, offset) != 2) return 0;
    const uint16_t count = Load16(countBytes, order);
    if (uint64_t{offset} + 2 + uint64_t{kEntrySize} * count > size) return 0;
    std::vector<uint8_t> entries(size_t{kEntrySize} * count);
    if (pread(fd, entries.data(), entries.size(), offset + 2) !=
        static_cast<ssize_t>(entries.size())) {
        return 0;
    }
    uint32_t width = 0, height = 0;
    uint16_t orientation = 1;
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* entry = entries.data() + size_t{kEntrySize} * i;
        const uint16_t tag = Load16(entry, order);
        const uint16_t type = Load16(entry + 2, order);
        if (Load32(entry + 4, order) != 1) continue;
        const uint32_t value = type == kTypeShort  ? Load16(entry + 8, order)
                               : type == kTypeLong ? Load32(entry + 8, order)
                                                   : 0;
        if (tag == kTagImageWidth && width == 0) width = value;
        if (tag == kTagImageLength && height == 0) height = value;
        if (tag == kTagOrientation && type == kTypeShort)
            orientation = static_cast<uint16_t>(value);
    }
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return 0;
    declared->width = width;
    declared->height = height;
    declared->turned = orientation >= 2 && orientation <= 8;
    return 1;
}

}  // namespace

TiffFile* MakeTiffFile(const uint8_t* data, size_t size) {
    if (!data || size < kHeaderSize || size > UINT32_MAX || !IsByteOrderMark(data)) return nullptr;
    TiffFile* file = AllocTiffFile(static_cast<uint32_t>(size));
    if (!file) return nullptr;
    std::memcpy(file->bytes, data, size);
    ParseTiffHeader(file);
    return file;
}

TiffFile* ReadTiffFile(int fd, uint64_t size, PhotoError* error) {
    uint8_t header[kHeaderSize];
    if (size < kHeaderSize || size > UINT32_MAX ||
        pread(fd, header, kHeaderSize, 0) != kHeaderSize || !IsByteOrderMark(header)) {
        SetPhotoError(error, PhotoFailure::NotAPhoto, "not a TIFF file the own reader takes");
        return nullptr;
    }
    TiffFile* file = AllocTiffFile(static_cast<uint32_t>(size));
    if (!file) {
        SetPhotoError(error, PhotoFailure::NotEnoughMemory, "not enough memory to read the file");
        return nullptr;
    }
    if (!ReadFully(fd, file->bytes, size, error)) {
        FreeTiffFile(file);
        return nullptr;
    }
    ParseTiffHeader(file);
    return file;
}

void FreeTiffFile(TiffFile* file) {
    std::free(file);
}

int OpenTiffIfd(const TiffFile* file, TiffIfd* ifd) {
    if (!file || !ifd || !file->ifdOffset || uint64_t{file->ifdOffset} + 2 > file->size) return 0;
    const uint16_t count = Load16(file->bytes + file->ifdOffset, file->byteOrder);
    const uint32_t firstEntry = file->ifdOffset + 2;
    if (uint64_t{firstEntry} + uint64_t{kEntrySize} * count > file->size) return 0;
    ifd->entryCount = count;
    ifd->byteOrder = file->byteOrder;
    ifd->bytes = file->bytes;
    ifd->size = file->size;
    ifd->firstEntry = firstEntry;
    return 1;
}

int FindTiffTag(const TiffIfd* ifd, uint16_t tag, TiffEntry* entry) {
    for (uint32_t i = 0; i < ifd->entryCount; ++i) {
        const uint32_t offset = ifd->firstEntry + kEntrySize * i;
        const uint8_t* p = ifd->bytes + offset;
        if (Load16(p, ifd->byteOrder) != tag) continue;
        entry->tag = tag;
        entry->type = Load16(p + 2, ifd->byteOrder);
        entry->count = Load32(p + 4, ifd->byteOrder);
        const uint32_t size = GetTiffTypeSize(entry->type);
        if (entry->count == 1 && size == 1) {
            entry->value = p[8];
        } else if (entry->count == 1 && size == 2) {
            entry->value = Load16(p + 8, ifd->byteOrder);
        } else {
            entry->value = Load32(p + 8, ifd->byteOrder);
        }
        entry->entryOffset = offset;
        return 1;
    }
    return 0;
}

uint32_t GetTiffTypeSize(uint16_t type) {
    static const uint8_t kSizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type < 13 ? kSizes[type] : 0;
}

uint32_t GetTiffValueOffset(const TiffIfd* ifd, const TiffEntry* entry, uint32_t i) {
    const uint64_t size = GetTiffTypeSize(entry->type);
    if (!size || i >= entry->count) return 0;
    uint64_t offset;
    if (size * entry->count <= 4) {
        offset = uint64_t{entry->entryOffset} + 8 + size * i;
    } else {
        offset = uint64_t{entry->value} + size * i;
    }
    if (!offset || offset + size > ifd->size) return 0;
    return static_cast<uint32_t>(offset);
}

uint16_t ReadTiffShort(const TiffIfd* ifd, uint32_t offset) {
    if (uint64_t{offset} + 2 > ifd->size) return 0;
    return Load16(ifd->bytes + offset, ifd->byteOrder);
}

uint32_t ReadTiffLong(const TiffIfd* ifd, uint32_t offset) {
    if (uint64_t{offset} + 4 > ifd->size) return 0;
    return Load32(ifd->bytes + offset, ifd->byteOrder);
}

void ReadTiffRational(const TiffIfd* ifd, uint32_t offset, uint32_t* numerator,
                      uint32_t* denominator) {
    const int inside = uint64_t{offset} + 8 <= ifd->size;
    if (numerator) *numerator = inside ? ReadTiffLong(ifd, offset) : 0;
    if (denominator) *denominator = inside ? ReadTiffLong(ifd, offset + 4) : 0;
}

int GetTiffShortTag(const TiffIfd* ifd, uint16_t tag, uint16_t* value) {
    TiffEntry entry;
    if (!FindTiffTag(ifd, tag, &entry)) return 0;
    const uint32_t offset = GetTiffValueOffset(ifd, &entry, 0);
    if (!offset || entry.type != kTypeShort) return 0;
    if (value) *value = ReadTiffShort(ifd, offset);
    return 1;
}

int GetTiffShortOrLongTag(const TiffIfd* ifd, uint16_t tag, uint32_t* value) {
    TiffEntry entry;
    if (!FindTiffTag(ifd, tag, &entry)) return 0;
    const uint32_t offset = GetTiffValueOffset(ifd, &entry, 0);
    if (!offset) return 0;
    uint32_t read;
    if (entry.type == kTypeShort) {
        read = ReadTiffShort(ifd, offset);
    } else if (entry.type == kTypeLong) {
        read = ReadTiffLong(ifd, offset);
    } else {
        return 0;
    }
    if (value) *value = read;
    return 1;
}

int GetTiffRationalTag(const TiffIfd* ifd, uint16_t tag, uint32_t* numerator,
                       uint32_t* denominator) {
    TiffEntry entry;
    if (!FindTiffTag(ifd, tag, &entry)) return 0;
    const uint32_t offset = GetTiffValueOffset(ifd, &entry, 0);
    if (!offset || entry.type != kTypeRational) return 0;
    ReadTiffRational(ifd, offset, numerator, denominator);
    return 1;
}

int ReadTiffImageInfo(const TiffIfd* ifd, TiffImageInfo* info) {
    if (!ifd || !info) return 0;
    *info = TiffImageInfo{};
    info->ifd = ifd;
    if (!GetTiffShortTag(ifd, kTagPhotometric, &info->photometric) ||
        !GetTiffShortTag(ifd, kTagCompression, &info->compression) ||
        !GetTiffShortOrLongTag(ifd, kTagImageLength, &info->imageLength) ||
        !GetTiffShortOrLongTag(ifd, kTagImageWidth, &info->imageWidth)) {
        return 0;
    }

    if (!GetTiffShortTag(ifd, kTagResolutionUnit, &info->resolutionUnit)) {
        info->resolutionUnit = 1;
        info->xResolution[0] = info->xResolution[1] = 1;
        info->yResolution[0] = info->yResolution[1] = 1;
    } else if (info->resolutionUnit != 1) {
        if (!GetTiffRationalTag(ifd, kTagXResolution, &info->xResolution[0],
                                &info->xResolution[1]) ||
            !GetTiffRationalTag(ifd, kTagYResolution, &info->yResolution[0],
                                &info->yResolution[1])) {
            return 0;
        }
    }

    if (!GetTiffShortOrLongTag(ifd, kTagRowsPerStrip, &info->rowsPerStrip) ||
        !FindTiffTag(ifd, kTagStripOffsets, &info->stripOffsets) ||
        !FindTiffTag(ifd, kTagStripByteCounts, &info->stripByteCounts) ||
        info->stripOffsets.count != info->stripByteCounts.count) {
        return 0;
    }

    if (info->photometric > kPalette) return 0;
    if (info->photometric == kRgb) {
        TiffEntry bits;
        if (!FindTiffTag(ifd, kTagBitsPerSample, &bits) || bits.count < 3) return 0;
        for (uint32_t i = 0; i < 3; ++i) {
            const uint32_t offset = GetTiffValueOffset(ifd, &bits, i);
            if (!offset) return 0;
            info->rgbBitsPerSample[i] = ReadTiffShort(ifd, offset);
        }
        const uint16_t* b = info->rgbBitsPerSample;
        if ((b[0] != 8 && b[0] != 16) || b[1] != b[0] || b[2] != b[0]) return 0;
        if (!GetTiffShortTag(ifd, kTagSamplesPerPixel, &info->samplesPerPixel)) return 0;
    } else if (info->photometric != kPalette) {
        if (!GetTiffShortTag(ifd, kTagBitsPerSample, &info->greyBitsPerSample)) {
            info->greyBitsPerSample = 1;
        }
        const uint16_t bits = info->greyBitsPerSample;
        if (bits != 1 && bits != 4 && bits != 8 && bits != 16) return 0;
    }
    return 1;
}

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

int LoadTiffFile(const TiffFile* file, CImgBuff* target, PhotoError* error, int* bitsPerChannel) {
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
        OrientRowsContext turn{stored, &upright, orientation};
        WorkerPool::Run(OrientRowsTask, &turn, static_cast<unsigned>(upright.height));
        // The upright block moves into the target; the stored one leaves with the temporary.
        stored->Swap(upright);
    }
    if (bitsPerChannel) *bitsPerChannel = Is16Bit(kind) ? 16 : 8;
    return 1;
}

int TurnTiffUpright(C_ImgBuff* image, uint16_t orientation) {
    const TiffOrientation o = OrientationFor(orientation);
    if (IsUpright(o)) return 1;
    C_ImgBuff upright;
    if (!upright.Create(o.transposed ? image->height : image->width,
                        o.transposed ? image->width : image->height, PT_HSV16)) {
        return 0;
    }
    OrientRowsContext turn{image, &upright, o};
    WorkerPool::Run(OrientRowsTask, &turn, static_cast<unsigned>(upright.height));
    image->Swap(upright);
    return 1;
}

int CheckTiffDeclaredSize(int fd, uint64_t size, const PhotoLoadLimits& limits, PhotoError* error) {
    TiffDeclaredSize declared;
    if (!ReadTiffDeclaredSize(fd, size, &declared)) {
        SetPhotoError(error, PhotoFailure::NotAPhoto, "not a TIFF file whose size can be read");
        return 0;
    }
    // The whole file is held while it is decoded, and a turned picture a second time.
    const uint64_t pixels = uint64_t{declared.width} * declared.height;
    const uint64_t decoderBytes = size + (declared.turned ? pixels * 6 : 0);
    return CheckPhotoSize(declared.width, declared.height, decoderBytes, limits, error);
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
