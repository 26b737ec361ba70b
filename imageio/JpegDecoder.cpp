#include "imageio/JpegDecoder.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include <jpeglib.h>
// After jpeglib.h, which it builds on.
#include <jerror.h>

#include "image/ImgBuff.h"
#include "imageio/JpegErrors.h"
#include "imageio/PhotoLoader.h"
#include "imageio/tiff/TiffDirectory.h"
#include "parallel/WorkerPool.h"

namespace {

using namespace tiff_format;

// Small enough that a band's decoded rows are still in cache when the pool reads them.
constexpr uint32_t kBandRows = 128;
constexpr size_t kReadBytes = 65536;

// libjpeg warns of damaged data and decodes on; what Qt's reader then makes of the file is left
// to it. Trace messages (level 0 and up) are ignored.
void LeaveOnWarning(j_common_ptr cinfo, int level) {
    if (level < 0) LeaveJpeg(cinfo);
}

struct Source {
    jpeg_source_mgr manager;  // first, so that cinfo->src leads back here
    int fd;
    JOCTET bytes[kReadBytes];
};

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

// Never suspends. The end of the file before the end of the picture is damage like any other.
boolean FillInput(j_decompress_ptr cinfo) {
    auto* source = reinterpret_cast<Source*>(cinfo->src);
    ssize_t got;
    do {
        got = read(source->fd, source->bytes, sizeof source->bytes);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) ERREXIT(cinfo, JERR_INPUT_EOF);
    source->manager.next_input_byte = source->bytes;
    source->manager.bytes_in_buffer = static_cast<size_t>(got);
    return TRUE;
}

void SkipInput(j_decompress_ptr cinfo, long count) {
    jpeg_source_mgr* source = cinfo->src;
    while (count > static_cast<long>(source->bytes_in_buffer)) {
        count -= static_cast<long>(source->bytes_in_buffer);
        FillInput(cinfo);
    }
    if (count > 0) {
        source->next_input_byte += count;
        source->bytes_in_buffer -= static_cast<size_t>(count);
    }
}

// Whether the EXIF block of an APP1 segment leaves the picture as stored: it has no orientation
// tag, or only the plain value 1. Anything unreadable counts as turned, which Qt's reader handles.
bool ExifUpright(const JOCTET* data, size_t size) {
    if (size < 4 || std::memcmp(data, "Exif", 4) != 0) return true;
    if (size < 6 + 8 || data[4] != 0 || data[5] != 0) return false;
    const JOCTET* tiff = data + 6;
    size -= 6;
    const uint16_t order = static_cast<uint16_t>(tiff[0] << 8 | tiff[1]);
    if (order != kTiffLittleEndian && order != kTiffBigEndian) return false;
    const uint32_t directory = Load32(tiff + 4, order);
    if (Load16(tiff + 2, order) != 42 || directory > size - 2) return false;
    const unsigned entries = Load16(tiff + directory, order);
    if (entries > (size - directory - 2) / 12) return false;
    for (unsigned i = 0; i < entries; ++i) {
        const JOCTET* entry = tiff + directory + 2 + 12 * i;
        if (Load16(entry, order) != kTagOrientation) continue;
        // A SHORT, one value, 1.
        if (Load16(entry + 2, order) != kTypeShort || Load32(entry + 4, order) != 1 ||
            Load16(entry + 8, order) != 1) {
            return false;
        }
    }
    return true;
}

bool Upright(jpeg_saved_marker_ptr marker) {
    for (; marker != nullptr; marker = marker->next) {
        if (marker->marker != JPEG_APP0 + 1) continue;
        if (marker->data_length != marker->original_length ||
            !ExifUpright(marker->data, marker->data_length)) {
            return false;
        }
    }
    return true;
}

// The kinds whose decoded pixels were compared with Qt's: 8-bit grey, and 8-bit three-component
// YCbCr or RGB. CMYK and YCCK Qt converts on its own terms.
bool Takes(const jpeg_decompress_struct& cinfo) {
    if (cinfo.data_precision != 8) return false;
    if (cinfo.num_components == 1) return cinfo.jpeg_color_space == JCS_GRAYSCALE;
    return cinfo.num_components == 3 &&
           (cinfo.jpeg_color_space == JCS_YCbCr || cinfo.jpeg_color_space == JCS_RGB);
}

// Everything one decoding holds. It lives outside Decompress, which libjpeg may leave through
// longjmp at any of its calls.
struct Decoding {
    jpeg_decompress_struct cinfo;
    JpegErrors errors;
    Source source;
    JSAMPROW rows[kBandRows];
    C_ImgBuff* image;
    const PhotoLoadLimits* limits;
    PhotoError* error;
};

// libjpeg leaves through longjmp on any error, so nothing here may hold a resource or need a
// destructor across a libjpeg call.
JpegDecoding Decompress(Decoding& d) {
    jpeg_decompress_struct* cinfo = &d.cinfo;
    if (setjmp(d.errors.jump)) return JpegDecoding::NotTaken;
    jpeg_create_decompress(cinfo);
    cinfo->src = &d.source.manager;
    jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xFFFF);
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK || !Takes(*cinfo) ||
        !Upright(cinfo->marker_list)) {
        return JpegDecoding::NotTaken;
    }
    // 0xAARRGGBB in memory order, the rows DecodedRowsToHsvTask reads.
    const bool grey = cinfo->num_components == 1;
    cinfo->out_color_space = grey ? JCS_GRAYSCALE : JCS_EXT_BGRX;
    const size_t stride = size_t{cinfo->image_width} * (grey ? 1 : 4);
    if (!CheckPhotoSize(cinfo->image_width, cinfo->image_height, stride * kBandRows, *d.limits,
                        d.error)) {
        return JpegDecoding::Refused;
    }
    const auto width = static_cast<int32_t>(cinfo->image_width);
    if (!d.image->Create(width, static_cast<int32_t>(cinfo->image_height), PT_HSV16)) {
        SetPhotoError(d.error, PhotoFailure::NotEnoughMemory, "not enough memory");
        return JpegDecoding::Refused;
    }
    jpeg_start_decompress(cinfo);
    auto* band = static_cast<uint8_t*>((*cinfo->mem->alloc_large)(
        reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, stride * kBandRows));
    for (uint32_t i = 0; i < kBandRows; ++i) d.rows[i] = band + i * stride;
    DecodedRowsContext rows{band, static_cast<ptrdiff_t>(stride), width, grey ? 1 : 0, nullptr};
    auto* pixels = reinterpret_cast<uint16_t*>(d.image->pixels);
    while (cinfo->output_scanline < cinfo->output_height) {
        const JDIMENSION first = cinfo->output_scanline;
        const JDIMENSION count = std::min<JDIMENSION>(kBandRows, cinfo->output_height - first);
        while (cinfo->output_scanline < first + count) {
            // The source never suspends, so every call gives at least one row.
            jpeg_read_scanlines(cinfo, d.rows + (cinfo->output_scanline - first),
                                first + count - cinfo->output_scanline);
        }
        rows.destination = pixels + size_t{first} * static_cast<size_t>(width) * 3;
        WorkerPool::Run(DecodedRowsToHsvTask, &rows, count);
    }
    jpeg_finish_decompress(cinfo);
    return JpegDecoding::Decoded;
}

}  // namespace

JpegDecoding DecodeJpegToHsv(int fd, C_ImgBuff* image, const PhotoLoadLimits& limits,
                             PhotoError* error) {
    // Anything but a JPEG is told by its first two bytes, before libjpeg is set up and fed.
    unsigned char start[2];
    if (pread(fd, start, 2, 0) != 2 || start[0] != 0xFF || start[1] != 0xD8 ||
        lseek(fd, 0, SEEK_SET) != 0) {
        return JpegDecoding::NotTaken;
    }
    const std::unique_ptr<Decoding> d(new (std::nothrow) Decoding{});
    if (!d) return JpegDecoding::NotTaken;
    d->cinfo.err = UseJpegErrors(&d->errors);
    d->errors.manager.emit_message = LeaveOnWarning;
    d->source.manager.init_source = InitSource;
    d->source.manager.fill_input_buffer = FillInput;
    d->source.manager.skip_input_data = SkipInput;
    d->source.manager.resync_to_restart = jpeg_resync_to_restart;
    d->source.manager.term_source = TermSource;
    d->source.fd = fd;
    // The photo replaces the image only once wholly decoded.
    C_ImgBuff decoded;
    d->image = &decoded;
    d->limits = &limits;
    d->error = error;
    const JpegDecoding result = Decompress(*d);
    jpeg_destroy_decompress(&d->cinfo);
    if (result == JpegDecoding::Decoded) image->Swap(decoded);
    return result;
}
