#include "imageio/JpegDecoder.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <jpeglib.h>
// After jpeglib.h, which it builds on.
#include <jerror.h>

#include "image/ImgBuff.h"
#include "image/Rgb8ToHsv16.h"
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

// The data of the APP1 segments end to end, which is where Qt's JPEG reader looks for the EXIF
// block, read forward in the block's byte order. A read past the end gives 0 and fails the
// stream, as QDataStream's do.
class ExifStream {
  public:
    explicit ExifStream(jpeg_saved_marker_ptr markers) : marker_(NextApp1(markers)) {
        for (jpeg_saved_marker_ptr m = marker_; m != nullptr; m = NextApp1(m->next))
            size_ += m->data_length;
    }
    size_t size() const { return size_; }
    size_t position() const { return position_; }
    bool ok() const { return ok_; }
    void SetOrder(uint16_t order) { bigEndian_ = order == kTiffBigEndian; }

    uint32_t Read(unsigned bytes) {
        if (bytes > size_ - position_) {
            ok_ = false;
            position_ = size_;
            return 0;
        }
        uint32_t value = 0;
        for (unsigned i = 0; i < bytes; ++i) {
            const uint32_t byte = NextByte();
            value = bigEndian_ ? value << 8 | byte : value | byte << 8 * i;
        }
        return value;
    }

    // target is below size() and not before position().
    void Seek(size_t target) {
        while (position_ < target) NextByte();
    }

  private:
    static jpeg_saved_marker_ptr NextApp1(jpeg_saved_marker_ptr marker) {
        while (marker != nullptr && marker->marker != JPEG_APP0 + 1) marker = marker->next;
        return marker;
    }
    uint8_t NextByte() {
        while (offset_ == marker_->data_length) {
            marker_ = NextApp1(marker_->next);
            offset_ = 0;
        }
        ++position_;
        return marker_->data[offset_++];
    }

    jpeg_saved_marker_ptr marker_;
    size_t size_ = 0;
    size_t position_ = 0;
    unsigned offset_ = 0;
    bool ok_ = true;
    bool bigEndian_ = true;
};

// The EXIF orientation (1 to 8) exactly as Qt's JPEG reader finds it: the first Orientation
// entry of the chain of directories from IFD0 on, at most ten of them, each after the one
// before. A malformed or missing block, a directory out of reach, or an entry that is not one
// SHORT from 1 to 8 leaves the picture as stored.
int ExifOrientation(jpeg_saved_marker_ptr markers) {
    constexpr unsigned kHeaderBytes = 6;  // "Exif" and two zero bytes
    ExifStream exif(markers);
    const uint32_t magic = exif.Read(4);
    if (exif.Read(2) != 0 || !exif.ok() || magic != 0x45786966) return 1;
    const auto order = static_cast<uint16_t>(exif.Read(2));
    if (order != kTiffLittleEndian && order != kTiffBigEndian) return 1;
    exif.SetOrder(order);
    if (exif.Read(2) != 42) return 1;
    uint64_t offset = exif.Read(4);
    for (int directory = 0; directory < 10; ++directory) {
        if (offset + kHeaderBytes < exif.position() || offset + kHeaderBytes >= exif.size())
            return 1;
        exif.Seek(offset + kHeaderBytes);
        for (uint32_t entries = exif.Read(2); entries > 0 && exif.ok(); --entries) {
            const uint32_t tag = exif.Read(2), type = exif.Read(2), count = exif.Read(4);
            const uint32_t value = exif.Read(2);
            exif.Read(2);
            if (tag == kTagOrientation) {
                return type == kTypeShort && count == 1 && value >= 1 && value <= 8
                           ? static_cast<int>(value)
                           : 1;
            }
        }
        offset = exif.Read(4);
        if (!exif.ok() || offset == 0) return 1;
    }
    return 1;
}

// The kinds whose decoded pixels were compared with Qt's: 8-bit grey, and 8-bit three-component
// YCbCr or RGB. CMYK and YCCK Qt converts on its own terms.
bool Takes(const jpeg_decompress_struct& cinfo) {
    if (cinfo.data_precision != 8) return false;
    if (cinfo.num_components == 1) return cinfo.jpeg_color_space == JCS_GRAYSCALE;
    return cinfo.num_components == 3 &&
           (cinfo.jpeg_color_space == JCS_YCbCr || cinfo.jpeg_color_space == JCS_RGB);
}

// How each EXIF orientation turns the stored picture upright: the stored x, the stored y read
// backwards, and the two swapped (done last).
enum : uint8_t { kMirrorX = 1, kMirrorY = 2, kTranspose = 4 };
constexpr uint8_t kTurns[9] = {0,
                               0,
                               kMirrorX,
                               kMirrorX | kMirrorY,
                               kMirrorY,
                               kTranspose,
                               kTranspose | kMirrorY,
                               kTranspose | kMirrorX | kMirrorY,
                               kTranspose | kMirrorX};

// Stored columns per tile of a turned band. A tile's pixels (the band's rows by this many) are
// converted into a buffer on the stack, which the second-level cache holds, and written out in
// runs long enough for the caches to take whole lines: rows of 256 pixels, or columns of the
// band's height when rows and columns swap.
constexpr uint32_t kTileColumns = 256;

// A band of decoded rows to be turned into the upright PT_HSV16 destination, one tile per item.
struct TurnedBand {
    DecodedRowsContext rows;  // the band's rows; destination is the whole upright picture
    uint32_t first;           // stored row of the band's first row
    uint32_t count;           // rows in the band
    uint32_t height;          // stored rows in the whole picture
    uint8_t turn;
};

// Copies count pixels, each step pixels after the one before in from, to consecutive pixels at to.
void CopyPixels(const uint16_t* from, ptrdiff_t step, uint32_t count, uint16_t* to) {
    for (uint32_t k = 0; k < count; ++k, from += step * 3, to += 3) std::memcpy(to, from, 6);
}

// Each tile is converted by the row converters and then written out in the runs the destination
// holds contiguously: per band row when rows stay rows, per stored column when they swap.
void TurnedBandToHsvTask(void* context, uint32_t first, uint32_t count) {
    const auto* b = static_cast<const TurnedBand*>(context);
    const auto width = static_cast<uint32_t>(b->rows.width);
    const bool mirrorX = b->turn & kMirrorX, mirrorY = b->turn & kMirrorY;
    uint16_t tile[kBandRows][kTileColumns * 3];
    for (uint32_t t = first; t < first + count; ++t) {
        const uint32_t x0 = t * kTileColumns;
        const uint32_t n = std::min(kTileColumns, width - x0);
        for (uint32_t i = 0; i < b->count; ++i) {
            const uint8_t* row = b->rows.bits + ptrdiff_t{i} * b->rows.bytesPerLine;
            if (b->rows.grey) {
                GreyRowToHsv16(row + x0, n, tile[i]);
            } else {
                Argb32RowToHsv16(reinterpret_cast<const uint32_t*>(row) + x0, n, tile[i]);
            }
        }
        if (b->turn & kTranspose) {
            // Stored column x becomes upright row x (or width - 1 - x), the band's rows a run of
            // that row's columns.
            const uint32_t column = mirrorY ? b->height - b->first - b->count : b->first;
            for (uint32_t j = 0; j < n; ++j) {
                const uint32_t x = x0 + j;
                uint16_t* to = b->rows.destination +
                               (size_t{mirrorX ? width - 1 - x : x} * b->height + column) * 3;
                CopyPixels(tile[mirrorY ? b->count - 1 : 0] + j * 3,
                           mirrorY ? -ptrdiff_t{kTileColumns} : ptrdiff_t{kTileColumns}, b->count,
                           to);
            }
        } else {
            const uint32_t column = mirrorX ? width - x0 - n : x0;
            for (uint32_t i = 0; i < b->count; ++i) {
                const uint32_t y = b->first + i;
                uint16_t* to = b->rows.destination +
                               (size_t{mirrorY ? b->height - 1 - y : y} * width + column) * 3;
                CopyPixels(tile[i] + (mirrorX ? (n - 1) * 3 : 0), mirrorX ? -1 : 1, n, to);
            }
        }
    }
}

// Scans any one component may take part in. Each scan is a pass over the blocks of its
// components, so a file repeating scans costs as many decodings as it holds scans. Encoders write
// at most ten or so per component; libjpeg's finest progression, every coefficient alone and
// refined bit by bit, takes hundreds, which no photo is stored with.
constexpr int kMaxScansPerComponent = 32;

// The bytes of the JPEG open as fd read forward from its start, a buffer at a time.
class FileBytes {
  public:
    explicit FileBytes(int fd) : fd_(fd) {}
    // The next byte, or -1 at the file's end.
    int Next() {
        if (at_ == end_ && !Fill()) return -1;
        return buffer_[at_++];
    }
    // Skips count bytes; false when the file ends first.
    bool Skip(uint64_t count) {
        while (count > end_ - at_) {
            count -= end_ - at_;
            at_ = end_;
            if (!Fill()) return false;
        }
        at_ += count;
        return true;
    }
    // Skips to the next 0xFF, which Next() then gives, adding the bytes passed to *passed; false
    // when the file ends first.
    bool SkipToMarkerByte(uint64_t* passed) {
        for (;;) {
            const auto* found =
                static_cast<const uint8_t*>(std::memchr(buffer_ + at_, 0xFF, end_ - at_));
            if (found != nullptr) {
                *passed += static_cast<size_t>(found - (buffer_ + at_));
                at_ = static_cast<size_t>(found - buffer_);
                return true;
            }
            *passed += end_ - at_;
            at_ = end_;
            if (!Fill()) return false;
        }
    }

  private:
    bool Fill() {
        ssize_t got;
        do {
            got = pread(fd_, buffer_, sizeof buffer_, offset_);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return false;
        offset_ += got;
        at_ = 0;
        end_ = static_cast<size_t>(got);
        return true;
    }

    int fd_;
    off_t offset_ = 0;
    size_t at_ = 0;
    size_t end_ = 0;
    uint8_t buffer_[kReadBytes];
};

// What the scans of a file hold, found without decoding them.
struct ScanCensus {
    int mostPerComponent = 0;  // scans the most often scanned component takes part in
    uint64_t codedBytes = 0;   // entropy-coded bytes of all scans together
};

// Walks the markers of the JPEG open as fd as libjpeg meets them: each segment skipped by its
// length, each scan's coded data up to the marker that ends it (a stuffed 0xFF 0x00 and a restart
// marker do not), bytes between segments passed over. Stops at the end of the picture or file.
ScanCensus CountScans(int fd) {
    ScanCensus census;
    FileBytes in(fd);
    int scans[256] = {};
    int marker = 0;  // the marker just read, or 0 when the next one is still to be found
    for (;;) {
        if (marker == 0) {
            uint64_t garbage = 0;
            if (!in.SkipToMarkerByte(&garbage)) return census;
            for (marker = in.Next(); marker == 0xFF;) marker = in.Next();
            if (marker == 0) continue;  // a stuffed byte outside a scan: more garbage
        }
        const int code = marker;
        marker = 0;
        if (code < 0 || code == JPEG_EOI) return census;
        if (code == 0xD8 || code == 0x01 || (code >= 0xD0 && code <= 0xD7)) continue;
        const int high = in.Next(), low = in.Next();
        if (low < 0 || (high << 8 | low) < 2) return census;
        uint64_t length = static_cast<uint64_t>(high << 8 | low) - 2;
        if (code != 0xDA) {
            if (!in.Skip(length)) return census;
            continue;
        }
        const int components = in.Next();
        if (components < 0 || length < 1 + 2 * uint64_t(components)) return census;
        for (int i = 0; i < components; ++i) {
            const int id = in.Next();
            if (id < 0 || in.Next() < 0) return census;
            census.mostPerComponent = std::max(census.mostPerComponent, ++scans[id]);
        }
        if (!in.Skip(length - 1 - 2 * uint64_t(components))) return census;
        // The coded data, to the first 0xFF not followed by a stuffed zero or a restart.
        while (marker == 0) {
            if (!in.SkipToMarkerByte(&census.codedBytes)) return census;
            int next = in.Next();
            while (next == 0xFF) next = in.Next();
            if (next == 0 || (next >= 0xD0 && next <= 0xD7)) {
                census.codedBytes += 2;
            } else {
                marker = next < 0 ? -1 : next;
            }
        }
    }
}

// Whether decoding the JPEG open as fd, whose header cinfo holds, costs no more than a photo of
// its size: few enough scans, and enough coded data for its picture. Huffman codes every block of
// every component in at least one bit (its DC difference), and a sequential scan in two (with the
// end of its AC coefficients), so a file with fewer bits could only be decoded by filling the
// picture in. Arithmetic codes have no such floor (a flat picture takes a few bytes), but no
// photo's blocks average below a 64th of a bit. Sets error when not.
bool WorthDecoding(const jpeg_decompress_struct& cinfo, int fd, PhotoError* error) {
    const ScanCensus census = CountScans(fd);
    if (census.mostPerComponent > kMaxScansPerComponent) {
        SetPhotoError(error, PhotoFailure::Damaged,
                      "damaged: a colour component is coded in " +
                          std::to_string(census.mostPerComponent) + " scans, more than the " +
                          std::to_string(kMaxScansPerComponent) + " a photo is stored in");
        return false;
    }
    uint64_t blocks = 0;
    for (int c = 0; c < cinfo.num_components; ++c)
        blocks +=
            uint64_t{cinfo.comp_info[c].width_in_blocks} * cinfo.comp_info[c].height_in_blocks;
    const uint64_t leastBits = cinfo.arith_code         ? blocks / 64
                               : cinfo.progressive_mode ? blocks
                                                        : blocks * 2;
    if (census.codedBytes * 8 < leastBits) {
        SetPhotoError(error, PhotoFailure::Damaged,
                      "damaged: its " + std::to_string(census.codedBytes) +
                          " bytes of coded data are too few for a " +
                          std::to_string(cinfo.image_width) + " x " +
                          std::to_string(cinfo.image_height) + " picture");
        return false;
    }
    return true;
}

}  // namespace

// Everything one decoding holds. It lives outside the functions that call libjpeg, which may
// leave them through longjmp at any of its calls.
struct JpegDecompression {
    jpeg_decompress_struct cinfo;
    JpegErrors errors;
    Source source;
    JSAMPROW rows[kBandRows];
    uint8_t* band;  // the decoded rows, in libjpeg's memory
    size_t stride;
    bool grey;
    bool created;  // cinfo holds libjpeg's memory, to be destroyed
};

namespace {

// A decompression of the JPEG open as fd, not yet started; null when fd holds no JPEG (told by its
// first two bytes, before libjpeg is set up and fed) or memory is short.
std::unique_ptr<JpegDecompression> NewDecompression(int fd) {
    unsigned char start[2];
    if (pread(fd, start, 2, 0) != 2 || start[0] != 0xFF || start[1] != 0xD8 ||
        lseek(fd, 0, SEEK_SET) != 0) {
        return nullptr;
    }
    std::unique_ptr<JpegDecompression> d(new (std::nothrow) JpegDecompression{});
    if (!d) return nullptr;
    d->cinfo.err = UseJpegErrors(&d->errors);
    d->errors.manager.emit_message = LeaveOnWarning;
    d->source.manager.init_source = InitSource;
    d->source.manager.fill_input_buffer = FillInput;
    d->source.manager.skip_input_data = SkipInput;
    d->source.manager.resync_to_restart = jpeg_resync_to_restart;
    d->source.manager.term_source = TermSource;
    d->source.fd = fd;
    return d;
}

// Reads the header and, when the file is a kind this decoder takes and its upright size (turn
// applied) lies within limits, starts decompressing into d.band. Any JPEG too large, or whose
// scans would cost far more than its picture (see WorthDecoding), is refused here, whoever would
// decode it. libjpeg leaves through longjmp on any error, so nothing here may hold a resource or
// need a destructor across a libjpeg call.
JpegDecoding Start(JpegDecompression& d, const PhotoLoadLimits& limits, PhotoError* error,
                   uint8_t* turn) {
    jpeg_decompress_struct* cinfo = &d.cinfo;
    if (setjmp(d.errors.jump)) return JpegDecoding::NotTaken;
    jpeg_create_decompress(cinfo);
    d.created = true;
    cinfo->src = &d.source.manager;
    jpeg_save_markers(cinfo, JPEG_APP0 + 1, 0xFFFF);
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK) return JpegDecoding::NotTaken;
    const bool taken = Takes(*cinfo);
    *turn = kTurns[ExifOrientation(cinfo->marker_list)];
    // 0xAARRGGBB in memory order, the rows DecodedRowsToHsvTask reads.
    d.grey = cinfo->num_components == 1;
    cinfo->out_color_space = d.grey ? JCS_GRAYSCALE : JCS_EXT_BGRX;
    d.stride = size_t{cinfo->image_width} * (d.grey ? 1 : 4);
    // A file of several scans is decoded into libjpeg's picture of every block first.
    uint64_t blockBytes = 0;
    if (cinfo->progressive_mode || cinfo->comps_in_scan < cinfo->num_components) {
        for (int c = 0; c < cinfo->num_components; ++c)
            blockBytes += uint64_t{cinfo->comp_info[c].width_in_blocks} *
                          cinfo->comp_info[c].height_in_blocks * sizeof(JBLOCK);
    }
    // The general decoder checks its own needs; the pixel limits come first for every file.
    const bool transpose = *turn & kTranspose;
    if (!CheckPhotoSize(transpose ? cinfo->image_height : cinfo->image_width,
                        transpose ? cinfo->image_width : cinfo->image_height,
                        taken ? d.stride * kBandRows + blockBytes : 0, limits, error)) {
        return JpegDecoding::Refused;
    }
    if (!WorthDecoding(*cinfo, d.source.fd, error)) return JpegDecoding::Refused;
    if (!taken) return JpegDecoding::NotTaken;
    jpeg_start_decompress(cinfo);
    d.band = static_cast<uint8_t*>((*cinfo->mem->alloc_large)(reinterpret_cast<j_common_ptr>(cinfo),
                                                              JPOOL_IMAGE, d.stride * kBandRows));
    for (uint32_t i = 0; i < kBandRows; ++i) d.rows[i] = d.band + i * d.stride;
    return JpegDecoding::Decoded;
}

// Decodes the next count rows (at most kBandRows) into d.band. False when libjpeg warned or
// failed.
bool ReadBand(JpegDecompression& d, uint32_t count) {
    jpeg_decompress_struct* cinfo = &d.cinfo;
    if (setjmp(d.errors.jump)) return false;
    const JDIMENSION first = cinfo->output_scanline;
    while (cinfo->output_scanline < first + count) {
        // The source never suspends, so every call gives at least one row.
        jpeg_read_scanlines(cinfo, d.rows + (cinfo->output_scanline - first),
                            first + count - cinfo->output_scanline);
    }
    return true;
}

// Ends the decompression once every row is read, which frees d.band; false when libjpeg warned
// about what follows the last row.
bool Finish(JpegDecompression& d) {
    if (setjmp(d.errors.jump)) return false;
    if (d.cinfo.output_scanline == d.cinfo.output_height) jpeg_finish_decompress(&d.cinfo);
    return true;
}

// Decodes every band into image, turned upright.
JpegDecoding Decompress(JpegDecompression& d, C_ImgBuff* image, const PhotoLoadLimits& limits,
                        PhotoError* error) {
    uint8_t turn = 0;
    const JpegDecoding started = Start(d, limits, error, &turn);
    if (started != JpegDecoding::Decoded) return started;
    const jpeg_decompress_struct& cinfo = d.cinfo;
    const auto width = static_cast<int32_t>(cinfo.image_width);
    const auto height = static_cast<int32_t>(cinfo.image_height);
    const bool transpose = turn & kTranspose;
    if (!image->Create(transpose ? height : width, transpose ? width : height, PT_HSV16)) {
        SetPhotoError(error, PhotoFailure::NotEnoughMemory, "not enough memory");
        return JpegDecoding::Refused;
    }
    auto* pixels = reinterpret_cast<uint16_t*>(image->pixels);
    DecodedRowsContext rows{d.band, static_cast<ptrdiff_t>(d.stride), width, d.grey ? 1 : 0,
                            pixels};
    TurnedBand turned{rows, 0, 0, static_cast<uint32_t>(height), turn};
    while (cinfo.output_scanline < cinfo.output_height) {
        const JDIMENSION first = cinfo.output_scanline;
        const JDIMENSION count = std::min<JDIMENSION>(kBandRows, cinfo.output_height - first);
        if (!ReadBand(d, count)) return JpegDecoding::NotTaken;
        if (turn == 0) {
            rows.destination = pixels + size_t{first} * static_cast<size_t>(width) * 3;
            WorkerPool::Run(DecodedRowsToHsvTask, &rows, count);
        } else {
            turned.first = first;
            turned.count = count;
            WorkerPool::Run(TurnedBandToHsvTask, &turned,
                            (cinfo.image_width + kTileColumns - 1) / kTileColumns);
        }
    }
    return Finish(d) ? JpegDecoding::Decoded : JpegDecoding::NotTaken;
}

void Destroy(JpegDecompression* d) {
    if (d != nullptr && d->created) jpeg_destroy_decompress(&d->cinfo);
}

}  // namespace

JpegDecoding DecodeJpegToHsv(int fd, C_ImgBuff* image, const PhotoLoadLimits& limits,
                             PhotoError* error) {
    const std::unique_ptr<JpegDecompression> d = NewDecompression(fd);
    if (!d) return JpegDecoding::NotTaken;
    // The photo replaces the image only once wholly decoded.
    C_ImgBuff decoded;
    const JpegDecoding result = Decompress(*d, &decoded, limits, error);
    Destroy(d.get());
    if (result == JpegDecoding::Decoded) image->Swap(decoded);
    return result;
}

JpegBandReader::JpegBandReader() = default;

JpegBandReader::~JpegBandReader() {
    Destroy(d_.get());
}

JpegDecoding JpegBandReader::Open(int fd, const PhotoLoadLimits& limits, PhotoError* error) {
    Destroy(d_.get());
    d_ = NewDecompression(fd);
    if (!d_) return JpegDecoding::NotTaken;
    uint8_t turn = 0;
    const JpegDecoding started = Start(*d_, limits, error, &turn);
    if (started == JpegDecoding::Decoded && turn != 0) return JpegDecoding::NotTaken;
    return started;
}

int32_t JpegBandReader::Width() const {
    return d_ ? static_cast<int32_t>(d_->cinfo.output_width) : 0;
}

int32_t JpegBandReader::Height() const {
    return d_ ? static_cast<int32_t>(d_->cinfo.output_height) : 0;
}

bool JpegBandReader::Read(C_ImgBuff* band) {
    if (!d_ || band->type != PT_HSV16 || band->width != Width()) return false;
    const jpeg_decompress_struct& cinfo = d_->cinfo;
    const auto count = static_cast<uint32_t>(band->height);
    if (count > cinfo.output_height - cinfo.output_scanline) return false;
    DecodedRowsContext rows{d_->band, static_cast<ptrdiff_t>(d_->stride), Width(), d_->grey ? 1 : 0,
                            nullptr};
    for (uint32_t done = 0; done < count; done += kBandRows) {
        const uint32_t n = std::min(kBandRows, count - done);
        if (!ReadBand(*d_, n)) return false;
        rows.destination =
            reinterpret_cast<uint16_t*>(band->pixels) + size_t{done} * size_t(Width()) * 3;
        WorkerPool::Run(DecodedRowsToHsvTask, &rows, n);
    }
    return Finish(*d_);
}

namespace {

// The distance of libjpeg's luminance table at each quality 1..100 from table, into distance.
// False when libjpeg fails.
bool TableDistances(const JQUANT_TBL& table, long distance[101]) {
    jpeg_compress_struct cinfo{};
    JpegErrors errors{};
    cinfo.err = UseJpegErrors(&errors);
    if (setjmp(errors.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    for (int quality = 1; quality <= 100; ++quality) {
        jpeg_set_quality(&cinfo, quality, TRUE);
        distance[quality] = 0;
        for (int i = 0; i < DCTSIZE2; ++i)
            distance[quality] +=
                std::abs(long{cinfo.quant_tbl_ptrs[0]->quantval[i]} - table.quantval[i]);
    }
    jpeg_destroy_compress(&cinfo);
    return true;
}

int ReadQuality(JpegDecompression& d) {
    if (setjmp(d.errors.jump)) return -1;
    jpeg_create_decompress(&d.cinfo);
    d.created = true;
    d.cinfo.src = &d.source.manager;
    if (jpeg_read_header(&d.cinfo, TRUE) != JPEG_HEADER_OK || d.cinfo.quant_tbl_ptrs[0] == nullptr)
        return -1;
    long distance[101];
    if (!TableDistances(*d.cinfo.quant_tbl_ptrs[0], distance)) return -1;
    return static_cast<int>(std::min_element(distance + 1, distance + 101) - distance);
}

}  // namespace

int SourceJpegQuality(int fd) {
    const std::unique_ptr<JpegDecompression> d = NewDecompression(fd);
    if (!d) return -1;
    const int quality = ReadQuality(*d);
    Destroy(d.get());
    return quality;
}
