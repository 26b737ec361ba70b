#include "imageio/tiff/TiffWriter.h"

#include <QIODevice>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "imageio/tiff/LibTiffClient.h"
#include "parallel/WorkerPool.h"

namespace {

// Strips of about this many bytes: few enough to keep the first directory small, enough for a
// reader to decode several at once.
constexpr uint64_t kStripBytes = 256 * 1024;

// The SHORT fields of every file written, beside its size, bits and strips.
struct Field {
    uint16_t tag;
    uint16_t value;
};
constexpr size_t kFixedFields = 5;

std::array<Field, kFixedFields> FixedFields(const TiffPicture& picture) {
    const bool none = picture.compression == TiffCompression::None;
    return {
        {{TIFFTAG_COMPRESSION, static_cast<uint16_t>(none ? COMPRESSION_NONE
                                                     : picture.compression == TiffCompression::Lzw
                                                         ? COMPRESSION_LZW
                                                         : COMPRESSION_ADOBE_DEFLATE)},
         {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB},
         {TIFFTAG_SAMPLESPERPIXEL, 3},
         {TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG},
         {TIFFTAG_PREDICTOR, static_cast<uint16_t>(none ? PREDICTOR_NONE : PREDICTOR_HORIZONTAL)}}};
}

void Put16(QByteArray* bytes, qsizetype at, uint32_t value) {
    (*bytes)[at] = static_cast<char>(value);
    (*bytes)[at + 1] = static_cast<char>(value >> 8);
}

void Put32(QByteArray* bytes, qsizetype at, uint32_t value) {
    Put16(bytes, at, value & 0xFFFF);
    Put16(bytes, at + 2, value >> 16);
}

uint32_t Get(const QByteArray& bytes, qsizetype at, int size) {
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

// A little-endian TIFF file whose first directory holds the picture's layout and density, and one
// byte for each strip, so that metadata can be added to it as to any TIFF file.
QByteArray LayoutTiff(const TiffPicture& picture, uint32_t rowsPerStrip, uint32_t strips) {
    struct Entry {
        uint16_t tag, type;  // type 3 SHORT, 4 LONG, 5 RATIONAL
        uint32_t count, value;
    };
    const bool density = picture.dotsPerMeterX > 0 && picture.dotsPerMeterY > 0;
    const qsizetype entryCount = 6 + kFixedFields + (density ? 3 : 0);
    constexpr qsizetype kDirectory = 8;
    const qsizetype samples = kDirectory + 2 + entryCount * 12 + 4;
    const qsizetype resolutions = samples + 6;  // two RATIONALs: numerator, denominator
    const qsizetype offsets = resolutions + (density ? 16 : 0);
    const qsizetype counts = offsets + 4 * qsizetype{strips};
    const qsizetype data = counts + 4 * qsizetype{strips};
    const uint32_t bits = static_cast<uint32_t>(picture.bits);
    std::vector<Entry> entries = {
        {TIFFTAG_IMAGEWIDTH, 4, 1, picture.width},
        {TIFFTAG_IMAGELENGTH, 4, 1, picture.height},
        {TIFFTAG_BITSPERSAMPLE, 3, 3, static_cast<uint32_t>(samples)},
        {TIFFTAG_STRIPOFFSETS, 4, strips, static_cast<uint32_t>(strips == 1 ? data : offsets)},
        {TIFFTAG_ROWSPERSTRIP, 4, 1, rowsPerStrip},
        {TIFFTAG_STRIPBYTECOUNTS, 4, strips, static_cast<uint32_t>(strips == 1 ? 1 : counts)}};
    for (const Field& field : FixedFields(picture))
        entries.push_back({field.tag, 3, 1, field.value});
    const WholeDensity whole = ToWholeDensity(picture.dotsPerMeterX, picture.dotsPerMeterY);
    if (density) {
        entries.push_back({TIFFTAG_XRESOLUTION, 5, 1, static_cast<uint32_t>(resolutions)});
        entries.push_back({TIFFTAG_YRESOLUTION, 5, 1, static_cast<uint32_t>(resolutions + 8)});
        entries.push_back(
            {TIFFTAG_RESOLUTIONUNIT, 3, 1,
             static_cast<uint32_t>(whole.perInch ? RESUNIT_INCH : RESUNIT_CENTIMETER)});
    }
    // A directory lists its entries in increasing order of tag.
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.tag < b.tag; });
    QByteArray tiff(data + strips, '\0');
    tiff[0] = tiff[1] = 'I';
    Put16(&tiff, 2, 42);
    Put32(&tiff, 4, kDirectory);
    Put16(&tiff, kDirectory, static_cast<uint32_t>(entryCount));
    for (qsizetype i = 0; i < entryCount; ++i) {
        const Entry& e = entries[static_cast<size_t>(i)];
        const qsizetype at = kDirectory + 2 + 12 * i;
        Put16(&tiff, at, e.tag);
        Put16(&tiff, at + 2, e.type);
        Put32(&tiff, at + 4, e.count);
        Put32(&tiff, at + 8, e.value);
    }
    for (qsizetype i = 0; i < 3; ++i) Put16(&tiff, samples + 2 * i, bits);
    if (density) {
        const uint32_t rationals[4] = {whole.x, 1, whole.y, 1};
        for (qsizetype i = 0; i < 4; ++i) Put32(&tiff, resolutions + 4 * i, rationals[i]);
    }
    for (qsizetype i = 0; i < strips; ++i) {
        Put32(&tiff, offsets + 4 * i, static_cast<uint32_t>(data + i));
        Put32(&tiff, counts + 4 * i, 1);
    }
    return tiff;
}

// Where the values of the first directory's entry tag lie, when it is an array of count LONGs in
// a little-endian file; 0 otherwise.
qsizetype LongArrayAt(const QByteArray& tiff, uint16_t tag, uint32_t count) {
    if (tiff.size() < 8 || !tiff.startsWith("II")) return 0;
    const qsizetype directory = Get(tiff, 4, 4);
    if (directory > tiff.size() - 2) return 0;
    const qsizetype entries = Get(tiff, directory, 2);
    for (qsizetype i = 0; i < entries; ++i) {
        const qsizetype at = directory + 2 + 12 * i;
        if (at > tiff.size() - 12) return 0;
        if (Get(tiff, at, 2) != tag) continue;
        if (Get(tiff, at + 2, 2) != 4 || Get(tiff, at + 4, 4) != count) return 0;
        const qsizetype values = count == 1 ? at + 8 : Get(tiff, at + 8, 4);
        return values <= tiff.size() - 4 * qsizetype{count} ? values : 0;
    }
    return 0;
}

// A file libtiff writes in memory.
struct MemorySink {
    std::vector<uint8_t> bytes;
    uint64_t position = 0;
    bool outOfMemory = false;
};

tmsize_t ReadSink(thandle_t handle, void* data, tmsize_t size) {
    auto* sink = static_cast<MemorySink*>(handle);
    if (size <= 0 || sink->position >= sink->bytes.size()) return 0;
    const uint64_t n =
        std::min<uint64_t>(static_cast<uint64_t>(size), sink->bytes.size() - sink->position);
    std::memcpy(data, sink->bytes.data() + sink->position, n);
    sink->position += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t WriteSink(thandle_t handle, void* data, tmsize_t size) {
    auto* sink = static_cast<MemorySink*>(handle);
    if (size < 0) return -1;
    const uint64_t end = sink->position + static_cast<uint64_t>(size);
    if (end > sink->bytes.size() && !GrowEncoderOutput([&] { sink->bytes.resize(end); })) {
        sink->outOfMemory = true;
        return -1;
    }
    std::memcpy(sink->bytes.data() + sink->position, data, static_cast<size_t>(size));
    sink->position = end;
    return size;
}

toff_t SeekSink(thandle_t handle, toff_t offset, int whence) {
    auto* sink = static_cast<MemorySink*>(handle);
    uint64_t base = 0;
    if (whence == SEEK_CUR) base = sink->position;
    if (whence == SEEK_END) base = sink->bytes.size();
    sink->position = base + offset;
    return sink->position;
}

int CloseSink(thandle_t) {
    return 0;
}

toff_t SizeOfSink(thandle_t handle) {
    return static_cast<MemorySink*>(handle)->bytes.size();
}

int MapNothing(thandle_t, void**, toff_t*) {
    return 0;
}

void UnmapNothing(thandle_t, void*, toff_t) {}

// Only the encoded strips of an encoder's file are used; its directory is never written.
struct TiffDiscarder {
    void operator()(TIFF* tif) const { TIFFCleanup(tif); }
};

// One group of strips, encoded on the pool: each slice makes and encodes its strips on a libtiff
// handle of its own, as LZW and the predictor start afresh in every strip.
struct EncodeContext {
    const TiffPicture* picture;
    const MakeTiffRows* makeRows;
    uint64_t rowBytes;
    uint32_t rowsPerStrip;
    uint32_t firstStrip;
    std::vector<std::vector<uint8_t>>* encoded;  // per strip of the group
    FirstFailure failure;
    std::atomic<bool> outOfMemory{false};  // the cause of the failure, where it was memory
};

// Encodes strips first .. first + count - 1 of the group; false with reason, or with
// sink.outOfMemory set, on failure.
bool EncodeStrips(EncodeContext* c, uint32_t first, uint32_t count, MemorySink& sink,
                  std::string* reason) {
    const TiffPicture& p = *c->picture;
    const uint32_t firstRow = (c->firstStrip + first) * c->rowsPerStrip;
    const uint32_t rows = std::min(count * c->rowsPerStrip, p.height - firstRow);
    std::vector<uint8_t> band;
    if (!GrowEncoderOutput([&] {
            sink.bytes.reserve(rows * c->rowBytes + 4096);
            band.resize(c->rowsPerStrip * c->rowBytes);
        })) {
        sink.outOfMemory = true;
        return false;
    }
    const std::unique_ptr<TIFF, TiffDiscarder> tif(OpenTiffClient(
        "w", &sink,
        {ReadSink, WriteSink, SeekSink, CloseSink, SizeOfSink, MapNothing, UnmapNothing}, reason));
    if (!tif) return false;
    TIFF* t = tif.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, p.bits);
    for (const Field& field : FixedFields(p)) TIFFSetField(t, field.tag, field.value);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, c->rowsPerStrip);
    for (uint32_t strip = 0; strip < count; ++strip) {
        const uint32_t y = strip * c->rowsPerStrip;
        const uint32_t n = std::min(c->rowsPerStrip, rows - y);
        (*c->makeRows)(firstRow + y, n, band.data(), c->rowBytes);
        if (TIFFWriteEncodedStrip(t, strip, band.data(), static_cast<tmsize_t>(n * c->rowBytes)) <
            0) {
            return false;
        }
    }
    uint64_t *offsets = nullptr, *sizes = nullptr;
    if (!TIFFGetField(t, TIFFTAG_STRIPOFFSETS, &offsets) ||
        !TIFFGetField(t, TIFFTAG_STRIPBYTECOUNTS, &sizes)) {
        return false;
    }
    for (uint32_t strip = 0; strip < count; ++strip) {
        const uint8_t* bytes = sink.bytes.data() + offsets[strip];
        if (!GrowEncoderOutput(
                [&] { (*c->encoded)[first + strip].assign(bytes, bytes + sizes[strip]); })) {
            sink.outOfMemory = true;
            return false;
        }
    }
    return true;
}

// On a worker of the pool, which no exception may leave.
void EncodeStripsTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<EncodeContext*>(context);
    MemorySink sink;
    std::string reason;
    bool encoded = false;
    try {
        encoded = EncodeStrips(c, first, count, sink, &reason);
    } catch (const std::bad_alloc&) {
        sink.outOfMemory = true;
    }
    if (encoded) return;
    if (sink.outOfMemory) c->outOfMemory = true;
    c->failure.Record(std::move(reason));
}

}  // namespace

int WriteRgbTiff(const TiffPicture& picture, const MakeTiffRows& makeRows,
                 const AddTiffMetadata& addMetadata, QIODevice* device, PhotoError* error) {
    const uint64_t rowBytes = uint64_t{picture.width} * 3 * static_cast<uint64_t>(picture.bits / 8);
    const auto rowsPerStrip =
        static_cast<uint32_t>(std::clamp<uint64_t>(kStripBytes / rowBytes, 1, picture.height));
    const uint32_t strips = (picture.height - 1) / rowsPerStrip + 1;
    QByteArray head = LayoutTiff(picture, rowsPerStrip, strips);
    std::string reason;
    if (!addMetadata(&head, &reason)) {
        SetPhotoError(error, PhotoFailure::SystemError, reason);
        return 0;
    }
    const qsizetype offsetsAt = LongArrayAt(head, TIFFTAG_STRIPOFFSETS, strips);
    const qsizetype countsAt = LongArrayAt(head, TIFFTAG_STRIPBYTECOUNTS, strips);
    if (offsetsAt == 0 || countsAt == 0) {
        SetPhotoError(error, PhotoFailure::SystemError,
                      "could not add the metadata to the TIFF file");
        return 0;
    }
    // The strips follow the directory, a group of them encoded at a time.
    qint64 at = (head.size() + 1) & ~qsizetype{1};
    const uint32_t group = 4 * WorkerPool::ProcessorCount();
    std::vector<std::vector<uint8_t>> encoded(group);
    for (uint32_t strip = 0; strip < strips; strip += group) {
        const uint32_t count = std::min(group, strips - strip);
        EncodeContext context{&picture, &makeRows, rowBytes, rowsPerStrip, strip, &encoded, {}};
        WorkerPool::Run(EncodeStripsTask, &context, count);
        if (context.outOfMemory) {
            SetPhotoError(error, PhotoFailure::NotEnoughMemory, "not enough memory");
            return 0;
        }
        if (context.failure.Failed()) {
            SetPhotoError(error, PhotoFailure::SystemError,
                          "could not be encoded: " + context.failure.Reason());
            return 0;
        }
        for (uint32_t i = 0; i < count; ++i) {
            const auto size = static_cast<qint64>(encoded[i].size());
            if (static_cast<uint64_t>(at + size) > UINT32_MAX) {
                SetPhotoError(error, PhotoFailure::TooLargeForFormat,
                              "the encoded picture is larger than the 4 GB a TIFF file holds");
                return 0;
            }
            Put32(&head, offsetsAt + 4 * qsizetype{strip + i}, static_cast<uint32_t>(at));
            Put32(&head, countsAt + 4 * qsizetype{strip + i}, static_cast<uint32_t>(size));
            if (!device->seek(at) ||
                device->write(reinterpret_cast<const char*>(encoded[i].data()), size) != size) {
                return 0;
            }
            at += size;
        }
    }
    return device->seek(0) && device->write(head) == head.size() ? 1 : 0;
}
