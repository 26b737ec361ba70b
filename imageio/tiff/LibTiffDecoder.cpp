#include "imageio/tiff/LibTiffDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "image/ColorModel.h"
#include "image/ImgBuff.h"
#include "image/PixelPlanes.h"
#include "image/PixelSamples.h"
#include "imageio/PhotoFile.h"
#include "imageio/tiff/LibTiffClient.h"
#include "imageio/tiff/TiffOrientation.h"
#include "parallel/WorkerPool.h"

namespace {

// Colour, alpha and a few extra channels. A file claiming more is no photo; every decoded row
// holds all of its samples, so an absurd count would only make the decode buffers huge.
constexpr uint16_t kMaxSamplesPerPixel = 16;

// libtiff reads the file through these procedures from the caller's memory; mapping hands it the
// bytes themselves, so strips are decoded without another copy.
struct MemoryFile {
    const uint8_t* data;
    uint64_t size;
    uint64_t position;
};

tmsize_t ReadMemory(thandle_t handle, void* buffer, tmsize_t count) {
    auto* file = static_cast<MemoryFile*>(handle);
    if (count <= 0 || file->position >= file->size) return 0;
    const uint64_t n =
        std::min<uint64_t>(static_cast<uint64_t>(count), file->size - file->position);
    std::memcpy(buffer, file->data + file->position, n);
    file->position += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t WriteMemory(thandle_t, void*, tmsize_t) {
    return -1;
}

toff_t SeekMemory(thandle_t handle, toff_t offset, int whence) {
    auto* file = static_cast<MemoryFile*>(handle);
    uint64_t base = 0;
    if (whence == SEEK_CUR) base = file->position;
    if (whence == SEEK_END) base = file->size;
    if (offset > UINT64_MAX - base) return static_cast<toff_t>(-1);
    file->position = base + offset;
    return file->position;
}

int CloseMemory(thandle_t) {
    return 0;
}

toff_t SizeOfMemory(thandle_t handle) {
    return static_cast<MemoryFile*>(handle)->size;
}

int MapMemory(thandle_t handle, void** base, toff_t* size) {
    auto* file = static_cast<MemoryFile*>(handle);
    *base = const_cast<uint8_t*>(file->data);
    *size = file->size;
    return 1;
}

void UnmapMemory(thandle_t, void*, toff_t) {}

enum class Kind { Grey, Palette, Rgb, Cmyk };

// What the sample decoder needs to know of the image.
struct Layout {
    Kind kind;
    uint32_t width;
    uint32_t height;
    uint16_t bits;     // per sample: 1, 2, 4, 8 or 16
    uint16_t samples;  // per pixel, extra samples included
    bool separate;     // one plane per sample
    bool whiteIsZero;
    const uint16_t* map[3];  // palette colours
    uint32_t mapScale;       // 257 for palettes written with 8-bit entries
    bool jpegRgb;            // JPEG-compressed YCbCr, which libtiff's codec turns into RGB
};

uint32_t ColourSamples(Kind kind) {
    switch (kind) {
        case Kind::Grey:
        case Kind::Palette:
            return 1;
        case Kind::Rgb:
            return 3;
        default:
            return 4;
    }
}

// Band rows as they are laid out once decoded: samples interleaved, rows on byte boundaries.
uint64_t BandRowBytes(const Layout& l) {
    return (static_cast<uint64_t>(l.width) * l.samples * l.bits + 7) / 8;
}

// The kinds decoded at their own precision; false leaves the file to libtiff's RGBA decoding.
bool DescribeLayout(TIFF* tif, Layout* l, std::string* reason) {
    uint16_t photometric = 0, sampleFormat = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
    uint16_t compression = COMPRESSION_NONE;
    if (!TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric)) return false;
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &l->bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &l->samples);
    // 32-bit floating-point samples run from 0 to 1; they are brought to 16 bits.
    const bool floating = sampleFormat == SAMPLEFORMAT_IEEEFP && l->bits == 32;
    if (sampleFormat != SAMPLEFORMAT_UINT && sampleFormat != SAMPLEFORMAT_VOID && !floating)
        return false;
    l->separate = planar == PLANARCONFIG_SEPARATE && l->samples > 1;
    l->whiteIsZero = photometric == PHOTOMETRIC_MINISWHITE;
    l->mapScale = 1;
    switch (photometric) {
        case PHOTOMETRIC_MINISWHITE:
        case PHOTOMETRIC_MINISBLACK:
            l->kind = Kind::Grey;
            break;
        case PHOTOMETRIC_PALETTE: {
            l->kind = Kind::Palette;
            uint16_t *r, *g, *b;
            if (l->bits > 16 || !TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b)) return false;
            l->map[0] = r, l->map[1] = g, l->map[2] = b;
            // Some writers store 8-bit entries; a map with no entry above 255 is taken as one.
            const uint32_t entries = 1u << l->bits;
            bool wide = false;
            for (uint32_t i = 0; i < entries && !wide; ++i)
                wide = r[i] > 255 || g[i] > 255 || b[i] > 255;
            l->mapScale = wide ? 1 : 257;
            break;
        }
        case PHOTOMETRIC_RGB:
            l->kind = Kind::Rgb;
            break;
        case PHOTOMETRIC_SEPARATED: {
            uint16_t inkSet = INKSET_CMYK;
            TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inkSet);
            if (inkSet != INKSET_CMYK) return false;
            l->kind = Kind::Cmyk;
            break;
        }
        case PHOTOMETRIC_YCBCR:
            // JPEG-compressed YCbCr is handed over as RGB by libtiff's JPEG codec itself.
            if (compression != COMPRESSION_JPEG || planar != PLANARCONFIG_CONTIG) return false;
            l->jpegRgb = true;
            if (!TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)) {
                if (reason->empty()) *reason = "cannot decode its JPEG-compressed YCbCr data";
                return false;
            }
            l->kind = Kind::Rgb;
            break;
        default:
            return false;
    }
    if (l->samples < ColourSamples(l->kind)) return false;
    const bool narrow = l->kind == Kind::Grey || l->kind == Kind::Palette;
    switch (l->bits) {
        case 8:
        case 16:
            return true;
        case 32:
            return floating && l->kind != Kind::Palette;
        case 1:
        case 2:
        case 4:
            return narrow && l->samples == 1;
        default:
            return false;
    }
}

// A sample of bits bits; a 32-bit (floating-point) one already brought to 16 bits.
inline uint32_t SampleAt(const uint8_t* row, uint64_t index, uint16_t bits) {
    switch (bits) {
        case 32: {
            float v;
            std::memcpy(&v, row + index * 4, 4);
            return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0f, 1.0f) * 65535.0f));
        }
        case 16: {
            uint16_t v;
            std::memcpy(&v, row + index * 2, 2);
            return v;
        }
        case 8:
            return row[index];
        default: {
            const uint64_t bit = index * bits;
            return (row[bit / 8] >> (8 - bits - bit % 8)) & ((1u << bits) - 1);
        }
    }
}

struct BandContext {
    const Layout* layout;
    const uint8_t* band;
    uint64_t rowBytes;
    uint32_t firstRow;  // image row of band row 0
    C_ImgBuff* image;
};

// Band rows into PT_HSV16 pixels, each pixel's channels first brought to 16 bits.
void ConvertBandRowsTask(void* context, uint32_t first, uint32_t count) {
    const auto* c = static_cast<const BandContext*>(context);
    const Layout& l = *c->layout;
    const uint32_t maxSample = l.bits == 32 ? 65535 : (1u << l.bits) - 1;
    const uint32_t scale = 65535 / maxSample;
    const size_t pixelBytes = kBytesPerPixel[PT_HSV16];
    for (uint32_t r = first; r < first + count; ++r) {
        const uint8_t* row = c->band + r * c->rowBytes;
        uint8_t* out =
            c->image->pixels + static_cast<size_t>(c->firstRow + r) * l.width * pixelBytes;
        if (l.kind == Kind::Rgb && l.bits == 16) {
            Rgb16PixelsToHsv16(reinterpret_cast<const uint16_t*>(row), l.samples,
                               reinterpret_cast<uint16_t*>(out), l.width);
            continue;
        }
        for (uint64_t x = 0; x < l.width; ++x, out += pixelBytes) {
            const uint64_t s = x * l.samples;
            uint32_t rgb[3];
            switch (l.kind) {
                case Kind::Grey: {
                    uint32_t v = SampleAt(row, s, l.bits) * scale;
                    if (l.whiteIsZero) v = 65535 - v;
                    rgb[0] = rgb[1] = rgb[2] = v;
                    break;
                }
                case Kind::Palette: {
                    const uint32_t i = SampleAt(row, s, l.bits);
                    for (int k = 0; k < 3; ++k) rgb[k] = l.map[k][i] * l.mapScale;
                    break;
                }
                case Kind::Rgb:
                    for (int k = 0; k < 3; ++k) rgb[k] = SampleAt(row, s + k, l.bits) * scale;
                    break;
                default: {  // Kind::Cmyk
                    const uint32_t white = 65535 - SampleAt(row, s + 3, l.bits) * scale;
                    for (int k = 0; k < 3; ++k) {
                        const uint32_t ink = 65535 - SampleAt(row, s + k, l.bits) * scale;
                        rgb[k] = (ink * white + 32767) / 65535;
                    }
                    break;
                }
            }
            uint16_t h, sat, v;
            RgbToHsv16(static_cast<uint16_t>(rgb[0]), static_cast<uint16_t>(rgb[1]),
                       static_cast<uint16_t>(rgb[2]), &h, &sat, &v);
            pixel_samples::Store16(out, h);
            pixel_samples::Store16(out + 2, sat);
            pixel_samples::Store16(out + 4, v);
        }
    }
}

// A libtiff handle on file whose errors go to reason. Several handles may read one file at once.
TiffHandle OpenMemoryTiff(MemoryFile* file, std::string* reason) {
    TiffHandle tif(OpenTiffClient(
        "r", file,
        {ReadMemory, WriteMemory, SeekMemory, CloseMemory, SizeOfMemory, MapMemory, UnmapMemory},
        reason));
    if (!tif && reason->empty()) *reason = "not a TIFF file";
    return tif;
}

// How the picture is cut into bands of whole strip or tile rows.
struct Bands {
    bool tiled;
    uint32_t chunkWidth;
    uint32_t rows;  // per band
    uint64_t rowBytes;
    uint64_t chunkRowBytes;
    uint64_t chunkBytes;  // decoded of each strip or tile: a tile's rows within the picture
};

// The bands one slice of the pool decodes, each on its own libtiff handle: the codecs keep
// state per handle, so the bands of different slices decode at the same time.
struct DecodeContext {
    const uint8_t* data;
    uint64_t size;
    const Layout* layout;
    const Bands* bands;
    C_ImgBuff* image;
    std::mutex mutex;  // guards firstMissingRow and missingReason
    FirstFailure failure;
    uint32_t firstMissingRow;  // the first row of a strip that could not be read (a file cut short)
    std::string missingReason;  // libtiff's for that strip
};

// Decodes bands first .. first + count - 1 (all planes of a band, then its rows converted).
bool DecodeBandRange(DecodeContext* c, uint32_t first, uint32_t count, std::string* reason) {
    const Layout& l = *c->layout;
    const Bands& b = *c->bands;
    MemoryFile file{c->data, c->size, 0};
    const TiffHandle handle = OpenMemoryTiff(&file, reason);
    if (!handle) return false;
    TIFF* tif = handle.get();
    if (l.jpegRgb && !TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB)) return false;
    std::vector<uint8_t> band, chunk;
    try {
        band.resize(b.rowBytes * b.rows);
        chunk.resize(b.chunkBytes);
    } catch (const std::bad_alloc&) {
        *reason = "not enough memory to decode it";
        return false;
    }
    const uint16_t planes = l.separate ? l.samples : 1;
    const uint32_t sampleBytes = l.bits / 8;  // separate planes only have 8 or 16 bits
    for (uint32_t index = first; index < first + count; ++index) {
        const uint32_t y0 = index * b.rows;
        const uint32_t rows = std::min(b.rows, l.height - y0);
        bool missing = false;
        for (uint16_t plane = 0; plane < planes && !missing; ++plane) {
            for (uint32_t x0 = 0; x0 < l.width; x0 += b.chunkWidth) {
                const tmsize_t got =
                    b.tiled
                        ? TIFFReadEncodedTile(tif, TIFFComputeTile(tif, x0, y0, 0, plane),
                                              chunk.data(), static_cast<tmsize_t>(b.chunkBytes))
                        : TIFFReadEncodedStrip(tif, TIFFComputeStrip(tif, y0, plane), chunk.data(),
                                               static_cast<tmsize_t>(b.chunkBytes));
                if (got < 0 && !b.tiled) {
                    missing = true;
                    break;
                }
                if (got < 0) {
                    if (reason->empty()) *reason = "its pixel data cannot be decoded";
                    return false;
                }
                const uint32_t columns = std::min(b.chunkWidth, l.width - x0);
                for (uint32_t r = 0; r < rows; ++r) {
                    const uint8_t* from = chunk.data() + r * b.chunkRowBytes;
                    uint8_t* to = band.data() + r * b.rowBytes;
                    if (!l.separate) {
                        const uint64_t bitsPerPixel = static_cast<uint64_t>(l.samples) * l.bits;
                        std::memcpy(to + x0 * bitsPerPixel / 8, from,
                                    (columns * bitsPerPixel + 7) / 8);
                        continue;
                    }
                    for (uint32_t x = 0; x < columns; ++x) {
                        std::memcpy(to + ((x0 + x) * static_cast<uint64_t>(l.samples) + plane) *
                                             sampleBytes,
                                    from + x * sampleBytes, sampleBytes);
                    }
                }
            }
        }
        if (missing) {
            const std::lock_guard lock(c->mutex);
            if (y0 < c->firstMissingRow) {
                c->firstMissingRow = y0;
                c->missingReason = *reason;
            }
            reason->clear();
            continue;
        }
        BandContext context{&l, band.data(), b.rowBytes, y0, c->image};
        ConvertBandRowsTask(&context, 0, rows);
    }
    return true;
}

void DecodeBandsTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<DecodeContext*>(context);
    std::string reason;
    if (!DecodeBandRange(c, first, count, &reason)) c->failure.Record(std::move(reason));
}

// Decodes strip or tile bands, as many at once as the pool has workers. The rows from the first
// strip that cannot be read down are left black and counted in damagedRows; a picture whose
// first strip cannot be read is refused.
bool DecodeBands(TIFF* tif, const uint8_t* data, uint64_t size, const Layout& l, C_ImgBuff* image,
                 std::string* reason, uint32_t* damagedRows) {
    Bands b{};
    b.tiled = TIFFIsTiled(tif);
    b.chunkWidth = l.width;
    uint32_t chunkRows = 0;
    if (b.tiled) {
        TIFFGetField(tif, TIFFTAG_TILEWIDTH, &b.chunkWidth);
        TIFFGetField(tif, TIFFTAG_TILELENGTH, &chunkRows);
    } else {
        TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &chunkRows);
    }
    if (b.chunkWidth == 0 || chunkRows == 0) {
        *reason = "its strips or tiles have no size";
        return false;
    }
    b.rows = std::min(chunkRows, l.height);
    b.rowBytes = BandRowBytes(l);
    b.chunkRowBytes = b.tiled ? TIFFTileRowSize64(tif) : TIFFScanlineSize64(tif);
    const uint64_t bandBytes = b.rowBytes * b.rows;
    // A tile may be wider and taller than the picture; only its rows down to the picture's last
    // are decoded. It may not be wider beyond reason: a hostile size would otherwise be allocated
    // before a single byte is decoded.
    const uint64_t chunkLimit = 2 * bandBytes + (16u << 20);
    if (!b.tiled) {
        b.chunkBytes = TIFFStripSize64(tif);
    } else if (b.chunkRowBytes <= chunkLimit / b.rows) {
        b.chunkBytes = b.chunkRowBytes * b.rows;
    }
    if (b.chunkRowBytes == 0 || b.chunkBytes == 0 || b.chunkBytes > chunkLimit ||
        b.chunkBytes / b.chunkRowBytes < b.rows) {
        *reason = "its strip or tile size does not fit the picture";
        return false;
    }
    if (l.bits < 8 && b.tiled && b.chunkWidth * l.bits % 8 != 0) {
        *reason = "its tiles do not start on whole bytes";
        return false;
    }
    const uint32_t count = (l.height - 1) / b.rows + 1;
    const uint64_t needed =
        (bandBytes + b.chunkBytes) * std::min<uint64_t>(WorkerPool::ProcessorCount(), count);
    const uint64_t available = AvailableMemoryBytes();
    if (needed > available) {
        *reason = "not enough memory to decode it: its strips or tiles need " + Megabytes(needed) +
                  ", only " + Megabytes(available) + " are available";
        return false;
    }
    DecodeContext context{data, size, &l, &b, image, {}, {}, l.height, {}};
    WorkerPool::Run(DecodeBandsTask, &context, count);
    if (context.failure.Failed()) {
        *reason = context.failure.Reason();
        return false;
    }
    if (context.firstMissingRow == 0) {
        *reason = "its pixel data cannot be decoded";
        if (!context.missingReason.empty()) *reason += " (" + context.missingReason + ")";
        return false;
    }
    const size_t rowBytes = static_cast<size_t>(l.width) * kBytesPerPixel[PT_HSV16];
    std::memset(image->pixels + context.firstMissingRow * rowBytes, 0,
                (l.height - context.firstMissingRow) * rowBytes);
    *damagedRows = l.height - context.firstMissingRow;
    return true;
}

// Kinds outside the layouts above (YCbCr, CIE Lab, LogLuv, old-style JPEG, odd bit depths) at
// the 8 bits per channel libtiff's RGBA decoding gives, in stored row order.
bool DecodeRgba(TIFF* tif, C_ImgBuff* image, std::string* reason) {
    char message[1024] = "";
    TIFFRGBAImage rgba;
    if (!TIFFRGBAImageOK(tif, message) || !TIFFRGBAImageBegin(&rgba, tif, 0, message)) {
        if (reason->empty()) *reason = message;
        return false;
    }
    rgba.req_orientation = rgba.orientation;
    std::vector<uint32_t> raster;
    try {
        raster.resize(static_cast<size_t>(image->width) * static_cast<size_t>(image->height));
    } catch (const std::bad_alloc&) {
        TIFFRGBAImageEnd(&rgba);
        *reason = "not enough memory to decode it";
        return false;
    }
    const int got = TIFFRGBAImageGet(&rgba, raster.data(), static_cast<uint32_t>(image->width),
                                     static_cast<uint32_t>(image->height));
    TIFFRGBAImageEnd(&rgba);
    if (!got) {
        if (reason->empty()) *reason = "its pixel data cannot be decoded";
        return false;
    }
    const size_t pixelBytes = kBytesPerPixel[PT_HSV16];
    for (size_t i = 0; i < raster.size(); ++i) {
        const uint32_t p = raster[i];
        uint16_t h, s, v;
        RgbToHsv16(static_cast<uint16_t>(TIFFGetR(p) * 257),
                   static_cast<uint16_t>(TIFFGetG(p) * 257),
                   static_cast<uint16_t>(TIFFGetB(p) * 257), &h, &s, &v);
        uint8_t* out = image->pixels + i * pixelBytes;
        pixel_samples::Store16(out, h);
        pixel_samples::Store16(out + 2, s);
        pixel_samples::Store16(out + 4, v);
    }
    return true;
}

}  // namespace

int DecodeTiffWithLibtiff(const uint8_t* data, size_t size, uint64_t maxPixels, CImgBuff* target,
                          std::string* reason, int* bitsPerChannel, int32_t* damagedRows) {
    std::string ignored;
    if (reason == nullptr) reason = &ignored;
    reason->clear();
    if (data == nullptr || target == nullptr) {
        *reason = "no file";
        return 0;
    }
    MemoryFile file{data, size, 0};
    const TiffHandle tif = OpenMemoryTiff(&file, reason);
    if (!tif) return 0;

    Layout layout{};
    uint32_t width = 0, height = 0;
    TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &height);
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_COMPRESSION, &compression);
    if (!TIFFIsCODECConfigured(compression)) {
        *reason = "its compression (" + std::to_string(compression) + ") is not supported";
        return 0;
    }
    if (width == 0 || height == 0) {
        *reason = "the picture has no pixels";
        return 0;
    }
    uint16_t samples = 1;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (samples > kMaxSamplesPerPixel) {
        *reason = "it has " + std::to_string(samples) + " samples per pixel, more than the " +
                  std::to_string(kMaxSamplesPerPixel) + " a photo may have";
        return 0;
    }
    C_ImgBuff stored;
    if (static_cast<uint64_t>(width) * height > maxPixels || width > INT32_MAX ||
        height > INT32_MAX ||
        !stored.Create(static_cast<int32_t>(width), static_cast<int32_t>(height), PT_HSV16)) {
        *reason = "the picture (" + std::to_string(width) + " x " + std::to_string(height) +
                  ") is too large to hold";
        return 0;
    }
    layout.width = width;
    layout.height = height;
    const bool ownLayout = DescribeLayout(tif.get(), &layout, reason);
    uint32_t damaged = 0;
    const bool decoded = ownLayout
                             ? DecodeBands(tif.get(), data, size, layout, &stored, reason, &damaged)
                             : DecodeRgba(tif.get(), &stored, reason);
    if (!decoded) return 0;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_ORIENTATION, &orientation);
    if (!TurnTiffUpright(&stored, orientation)) {
        *reason = "not enough memory to turn the picture upright";
        return 0;
    }
    C_ImgBuff* buffer = target->buffer;
    buffer->Swap(stored);
    if (bitsPerChannel) *bitsPerChannel = ownLayout && layout.bits >= 16 ? 16 : 8;
    if (damagedRows) *damagedRows = static_cast<int32_t>(damaged);
    return 1;
}
