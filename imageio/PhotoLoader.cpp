#include "imageio/PhotoLoader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "image/HugePages.h"
#include "image/ImgBuff.h"
#include "image/PixelPlanes.h"
#include "image/Rgb8ToHsv16.h"
#include "imageio/JpegDecoder.h"
#include "imageio/PhotoFormats.h"
#include "imageio/PhotoLoaderTesting.h"
#include "imageio/PhotoMetadata.h"
#include "imageio/tiff/LibTiffDecoder.h"
#include "imageio/tiff/TiffOrientation.h"
#include "imageio/tiff/TiffReader.h"
#include "parallel/WorkerPool.h"

namespace {

constexpr const char* kNotAPhotoFormat = "not a photo in a format that can be read";

// Qt refuses pictures above 128 MB by default, about 33.5 megapixels. Raised to what the largest
// holdable picture needs in the widest format a decoder delivers (8 bytes a pixel); the header
// size is checked against the load limits before Qt allocates anything.
constexpr int kReaderAllocationLimitMb = static_cast<int>((kMaxHoldablePixels * 8 + 0xFFFFF) >> 20);

// The rows DecodedRowsToHsvTask or DeepRowsToHsvTask read: 32-bit RGB with straight
// (non-premultiplied) alpha, 8-bit grey, 16-bit RGB with padding or straight alpha, or 16-bit
// grey. Other formats are converted to the one of these that keeps their precision, and
// premultiplied ones are un-premultiplied so that dropping alpha keeps the stored colour rather
// than a colour blended towards black.
QImage::Format ReadableFormat(QImage::Format format) {
    switch (format) {
        case QImage::Format_RGB32:
        case QImage::Format_ARGB32:
        case QImage::Format_Grayscale8:
        case QImage::Format_RGBX64:
        case QImage::Format_RGBA64:
        case QImage::Format_Grayscale16:
            return format;
        default:
            return QImage::toPixelFormat(format).redSize() > 8 ? QImage::Format_RGBA64
                                                               : QImage::Format_ARGB32;
    }
}

bool IsDeep(QImage::Format readable) {
    return readable == QImage::Format_RGBX64 || readable == QImage::Format_RGBA64 ||
           readable == QImage::Format_Grayscale16;
}

// Bytes the decoder holds for a picture of this size: its own picture, a turned copy when the
// orientation tag asks for one, and a readable copy when it does not deliver readable rows.
uint64_t DecoderBytes(const QImageReader& reader, const QSize& size) {
    const uint64_t pixels = uint64_t(size.width()) * uint64_t(size.height());
    const QImage::Format format = reader.imageFormat();
    auto bytesPerPixel = [](QImage::Format f) {
        return uint64_t(std::max(int{QImage::toPixelFormat(f).bitsPerPixel()}, 8) / 8);
    };
    if (format == QImage::Format_Invalid) return pixels * 8;  // the widest a decoder delivers
    uint64_t bytes = pixels * bytesPerPixel(format);
    if (reader.transformation() != QImageIOHandler::TransformationNone) bytes *= 2;
    const QImage::Format readable = ReadableFormat(format);
    if (readable != format) bytes += pixels * bytesPerPixel(readable);
    return bytes;
}

// 16-bit rows (grey: Grayscale16, otherwise RGBX64 or RGBA64) into PT_HSV16 pixels, alpha ignored.
void DeepRowsToHsvTask(void* context, uint32_t first, uint32_t count) {
    const auto* c = static_cast<const DecodedRowsContext*>(context);
    const size_t width = static_cast<size_t>(c->width);
    for (uint32_t y = first; y < first + count; ++y) {
        const auto* source = reinterpret_cast<const uint16_t*>(c->bits + static_cast<ptrdiff_t>(y) *
                                                                             c->bytesPerLine);
        uint16_t* out = c->destination + static_cast<size_t>(y) * width * 3;
        if (c->grey) {
            for (size_t x = 0; x < width; ++x) {
                out[3 * x] = 0;
                out[3 * x + 1] = 0;
                out[3 * x + 2] = source[x];
            }
        } else {
            Rgb16PixelsToHsv16(source, 4, out, width);
        }
    }
}

// Qt's image plugins report damage they decode past (libjpeg's "Corrupt JPEG data: premature end
// of data segment") only as warnings. Those of a decode on this thread are counted instead of
// printed: the loader reports the damage itself, naming the file.
thread_local int* decoderWarnings = nullptr;
QtMessageHandler previousHandler = nullptr;

void CountDecoderWarnings(QtMsgType type, const QMessageLogContext& context,
                          const QString& message) {
    if (decoderWarnings && type == QtWarningMsg && context.category &&
        std::strncmp(context.category, "qt.gui.imageio", 14) == 0) {
        ++*decoderWarnings;
        return;
    }
    // Null only while the handler is being installed.
    if (previousHandler) previousHandler(type, context, message);
}

// Counts the warnings of Qt's image plugins on this thread while it lives. The handler is
// installed once for good, since photos load on several threads at once.
class DecoderWarnings {
  public:
    DecoderWarnings() {
        static std::once_flag installed;
        std::call_once(installed,
                       [] { previousHandler = qInstallMessageHandler(CountDecoderWarnings); });
        decoderWarnings = &count_;
    }
    ~DecoderWarnings() { decoderWarnings = nullptr; }
    DecoderWarnings(const DecoderWarnings&) = delete;
    DecoderWarnings& operator=(const DecoderWarnings&) = delete;
    int Count() const { return count_; }

  private:
    int count_ = 0;
};

// The rows at the bottom of picture that all hold one value: what a decoder that met the end of
// the data leaves below the last row it decoded (libjpeg's grey, or the fill a picture was made
// with). A picture whose true bottom rows are of one colour counts them too.
int32_t UniformRowsAtBottom(const QImage& picture) {
    const int height = picture.height();
    const size_t pixelBytes = static_cast<size_t>(picture.depth() / 8);
    const size_t rowBytes = pixelBytes * static_cast<size_t>(picture.width());
    const uchar* value = picture.constScanLine(height - 1);
    int y = height;
    for (; y > 0; --y) {
        const uchar* row = picture.constScanLine(y - 1);
        size_t x = 0;
        while (x < rowBytes && std::memcmp(row + x, value, pixelBytes) == 0) x += pixelBytes;
        if (x < rowBytes) break;
    }
    return height - y;
}

// Whether the PNG open as fd is interlaced: the method byte of its IHDR chunk, which comes first.
bool IsInterlacedPng(int fd) {
    unsigned char method = 0;
    return pread(fd, &method, 1, 28) == 1 && method == 1;
}

void SetReaderError(const QImageReader& reader, PhotoError* error) {
    if (reader.error() == QImageReader::UnsupportedFormatError) {
        SetPhotoError(error, PhotoFailure::NotAPhoto, kNotAPhotoFormat);
    } else if (reader.error() == QImageReader::DeviceError) {
        SetPhotoError(error, PhotoFailure::SystemError,
                      "could not be read: " + reader.errorString().toStdString());
    } else {
        SetPhotoError(error, PhotoFailure::NotAPhoto,
                      "not a photo that can be read (damaged, or an unsupported format)");
    }
}

// The own reader first, libtiff for every TIFF it refuses, both on one copy of the file, which is
// read only once the size its directory declares is known to fit. When neither decodes the file,
// error is NotAPhoto in libtiff's words. origin (may be null) receives precision and metadata,
// damagedRows the lower rows that could not be decoded.
int LoadTiffPhoto(int fd, CImgBuff* target, const PhotoLoadLimits& limits, PhotoError* error,
                  PhotoOrigin* origin, int32_t* damagedRows) {
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        SetErrnoError(error, errno);
        return 0;
    }
    const auto size = static_cast<uint64_t>(status.st_size);
    if (!CheckTiffDeclaredSize(fd, size, limits, error)) return 0;
    TiffFile* file = ReadTiffFile(fd, size, error);
    if (!file) return 0;
    int* bits = origin ? &origin->bitsPerChannel : nullptr;
    int loaded = LoadTiffFile(file, target, error, bits, damagedRows);
    if (!loaded && error->failure == PhotoFailure::NotAPhoto) {
        std::string reason;
        loaded = DecodeTiffWithLibtiff(file->bytes, file->size,
                                       std::min(limits.maxPixels, kMaxHoldablePixels), target,
                                       &reason, bits, damagedRows);
        if (!loaded)
            SetPhotoError(error, PhotoFailure::NotAPhoto, "not a TIFF that can be read: " + reason);
    }
    if (loaded && origin && file->version == 42) {
        ReadPhotoMetadata(file->bytes, file->size, origin);
    } else if (loaded && origin) {
        const std::vector<uint8_t> classic = ClassicTiffOfBigTiff(file->bytes, file->size);
        ReadPhotoMetadata(classic.data(), classic.size(), origin);
    }
    FreeTiffFile(file);
    return loaded;
}

}  // namespace

int DecodeWithQt(int fd, CImgBuff* target, const PhotoLoadLimits& limits, PhotoError* error,
                 int* bitsPerChannel, int32_t* damagedRows, const PhotoFormat* format) {
    QFile file;
    if (lseek(fd, 0, SEEK_SET) != 0 ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle)) {
        SetErrnoError(error, errno);
        return 0;
    }
    QImageReader::setAllocationLimit(kReaderAllocationLimitMb);
    QImageReader reader(&file);
    if (format) {
        // The reader of that format alone: no other may take the file for one of its own.
        const QList<QByteArray> names = QImageReader::imageFormatsForMimeType(format->mimeType);
        if (names.isEmpty()) {
            SetPhotoError(error, PhotoFailure::NotAPhoto, kNotAPhotoFormat);
            return 0;
        }
        reader.setFormat(names.first());
        reader.setAutoDetectImageFormat(false);
    }
    // Camera and phone photos are stored sideways with an orientation tag; they arrive upright.
    reader.setAutoTransform(true);
    const QSize announced = reader.size();
    if (announced.isValid() && !CheckPhotoSize(announced.width(), announced.height(),
                                               DecoderBytes(reader, announced), limits, error)) {
        return 0;
    }

    // A picture of the size and format the decoder announces is decoded into as it is, so its
    // memory can be given huge pages before the decoder first writes it.
    QImage picture;
    const bool made = announced.isValid() && reader.imageFormat() != QImage::Format_Invalid;
    // Qt's PNG reader stops at damage with the rows above it already in the picture made for it,
    // which is filled so that the rows left undecoded can be told.
    const bool png = made && reader.format() == "png";
    if (made) {
        picture = QImage(announced, reader.imageFormat());
        AdviseHugePages(picture.bits(), static_cast<uint64_t>(picture.sizeInBytes()));
        if (png) picture.fill(0);
    }
    const DecoderWarnings warnings;
    const bool read = reader.read(&picture) && !picture.isNull();
    const bool partial = !read && png && picture.size() == announced;
    if (!read && !partial) {
        SetReaderError(reader, error);
        return 0;
    }
    file.close();
    // A format whose header gives no size is checked once decoded: the rows still have to fit.
    if (!CheckPhotoSize(picture.width(), picture.height(), 0, limits, error)) {
        return 0;
    }
    const QImage::Format readable = ReadableFormat(picture.format());
    if (readable != picture.format()) picture = std::move(picture).convertToFormat(readable);
    int32_t damaged = 0;
    if (!picture.isNull() && (partial || warnings.Count() > 0)) {
        damaged = UniformRowsAtBottom(picture);
        if (partial && damaged == picture.height()) {
            SetReaderError(reader, error);
            return 0;
        }
        // Damage that left no undecoded rows behind, or that cut short an interlaced PNG's passes
        // (each of which covers the whole height), may lie anywhere in the picture.
        if (damaged == 0 || (partial && IsInterlacedPng(fd))) damaged = picture.height();
    }
    C_ImgBuff* buffer = target->buffer;
    if (picture.isNull() || !buffer->Create(picture.width(), picture.height(), PT_HSV16)) {
        SetPhotoError(error, PhotoFailure::NotEnoughMemory, "not enough memory");
        return 0;
    }
    const bool deep = IsDeep(readable);
    const bool grey =
        readable == QImage::Format_Grayscale8 || readable == QImage::Format_Grayscale16;
    DecodedRowsContext rows{picture.constBits(), static_cast<ptrdiff_t>(picture.bytesPerLine()),
                            picture.width(), grey ? 1 : 0,
                            reinterpret_cast<uint16_t*>(buffer->pixels)};
    WorkerPool::Run(deep ? DeepRowsToHsvTask : DecodedRowsToHsvTask, &rows,
                    static_cast<unsigned>(picture.height()));
    if (bitsPerChannel) *bitsPerChannel = deep ? 16 : 8;
    if (damagedRows) *damagedRows = damaged;
    return 1;
}

void DecodedRowsToHsvTask(void* context, uint32_t first, uint32_t count) {
    const auto* c = static_cast<const DecodedRowsContext*>(context);
    const size_t width = static_cast<size_t>(c->width);
    for (uint32_t y = first; y < first + count; ++y) {
        const uint8_t* source = c->bits + static_cast<ptrdiff_t>(y) * c->bytesPerLine;
        uint16_t* out = c->destination + static_cast<size_t>(y) * width * 3;
        if (c->grey) {
            GreyRowToHsv16(source, width, out);
        } else {
            Argb32RowToHsv16(reinterpret_cast<const uint32_t*>(source), width, out);
        }
    }
}

namespace {

// Reads size bytes at offset of fd into bytes (resized to fit); false when they are not there.
bool ReadAt(int fd, uint64_t offset, uint32_t size, QByteArray* bytes) {
    bytes->resize(static_cast<qsizetype>(size));
    ssize_t got;
    do {
        got = pread(fd, bytes->data(), size, static_cast<off_t>(offset));
    } while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(size);
}

uint32_t BigEndian32(const char* p) {
    const auto* b = reinterpret_cast<const uint8_t*>(p);
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

// A chunk of a PNG or WebP file: its type, and where its data starts and how long it says it is.
struct FileChunk {
    bool png;  // else WebP
    QByteArray type;
    uint64_t at;
    uint64_t length;
    bool Inside(uint64_t fileSize) const { return length <= fileSize - std::min(fileSize, at); }
};

// Calls visit with each chunk of the PNG or WebP file open as fd, until visit returns false or the
// chunks end (a PNG's at IEND); nothing for a file that is neither. A
// PNG chunk is its big-endian length, type, data and check; a RIFF chunk its type, little-endian
// length and data padded to an even length.
void VisitChunks(int fd, const std::function<bool(const FileChunk&)>& visit) {
    QByteArray head;
    if (!ReadAt(fd, 0, 12, &head)) return;
    const bool png = head.startsWith("\x89PNG\r\n\x1A\n");
    const bool webp = head.startsWith("RIFF") && head.mid(8, 4) == "WEBP";
    if (!png && !webp) return;
    for (uint64_t at = png ? 8 : 12; ReadAt(fd, at, 8, &head);) {
        const uint32_t length =
            png ? BigEndian32(head.constData()) : qFromLittleEndian<uint32_t>(head.constData() + 4);
        const FileChunk chunk{png, png ? head.mid(4) : head.left(4), at + 8, length};
        if (!visit(chunk) || (png && chunk.type == "IEND")) return;
        at += 8 + uint64_t{length} + (png ? 4 : length % 2);
    }
}

uint64_t FileSize(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
}

// One walk over the chunks of the PNG or WebP file open as fd, before Qt's reader sees it: exif
// receives its EXIF block (a PNG's eXIf chunk, a WebP's EXIF chunk), which Qt's readers ignore, and
// a PNG chunk other than image data stated longer than the file refuses it. libpng allocates and
// clears such a chunk's whole stated length before reading it, so a few hundred bytes stating a
// 2 GB text chunk would otherwise cost 2 GB and seconds; image data is read as it comes, and a
// file cut short within it is the decoder's to find. Returns 1, or 0 with error.
int ReadChunks(int fd, QByteArray* exif, PhotoError* error) {
    const uint64_t size = FileSize(fd);
    int inside = 1;
    VisitChunks(fd, [&](const FileChunk& chunk) {
        if (chunk.png && chunk.type != "IDAT" && !chunk.Inside(size)) {
            SetPhotoError(error, PhotoFailure::Damaged,
                          "damaged: its " + chunk.type.toStdString() + " chunk states " +
                              std::to_string(chunk.length) + " bytes, more than the file holds");
            inside = 0;
            return false;
        }
        // A length beyond the file's end is not taken for memory to read it into.
        if (chunk.type == (chunk.png ? "eXIf" : "EXIF") && chunk.Inside(size) &&
            !ReadAt(fd, chunk.at, chunk.length, exif))
            exif->clear();
        return true;
    });
    return inside;
}

// The Orientation (1 to 8) of the EXIF block of a PNG or WebP file, which some writers start
// with "Exif" and two zero bytes as in a JPEG; 1 when there is none.
uint16_t ChunkExifOrientation(QByteArray exif) {
    if (exif.startsWith(QByteArray("Exif\0\0", 6))) exif.remove(0, 6);
    const std::unique_ptr<TiffFile, void (*)(TiffFile*)> file(
        MakeTiffFile(reinterpret_cast<const uint8_t*>(exif.constData()), size_t(exif.size())),
        FreeTiffFile);
    TiffIfd ifd;
    uint16_t orientation = 1;
    if (file && OpenTiffIfd(file.get(), &ifd))
        GetTiffShortTag(&ifd, tiff_format::kTagOrientation, &orientation);
    return orientation;
}

// The end of a load that decoded a picture into target: a damaged one is refused unless limits
// allow it.
int TakeLoaded(CImgBuff* target, const PhotoLoadLimits& limits, PhotoOrigin&& found,
               PhotoError* error, PhotoOrigin* origin) {
    if (found.damagedRows > 0 && !limits.allowDamaged) {
        C_ImgBuff empty;
        target->buffer->Swap(empty);
        SetPhotoError(
            error, PhotoFailure::Damaged,
            "damaged: the lower " + std::to_string(found.damagedRows) + " rows are missing");
        return 0;
    }
    if (origin) *origin = std::move(found);
    return 1;
}

}  // namespace

int LoadPhoto(const char* path, CImgBuff* target, PhotoError* error, const PhotoLoadLimits& limits,
              PhotoOrigin* origin) {
    SetPhotoError(error, PhotoFailure::None, "");
    if (target == nullptr) {
        SetPhotoError(error, PhotoFailure::SystemError, "no image to load into");
        return 0;
    }
    // The one open of the file: every later step reads this descriptor, never the name again.
    const FileDescriptor fd(OpenPhotoFile(path, error));
    if (fd.get() < 0) return 0;
    // The file's first bytes choose the road, whatever its name says.
    const PhotoFormat* format = PhotoFormatOfFile(fd.get());
    if (format == nullptr) {
        SetPhotoError(error, PhotoFailure::NotAPhoto, kNotAPhotoFormat);
        return 0;
    }
    PhotoOrigin found;
    if (format->decoder == PhotoDecoder::Tiff) {
        // Qt's reader of TIFF is libtiff too: what libtiff refuses, it would refuse or misread.
        PhotoError tiff;
        if (!LoadTiffPhoto(fd.get(), target, limits, &tiff, origin ? &found : nullptr,
                           &found.damagedRows)) {
            SetPhotoError(error, tiff.failure, std::move(tiff.text));
            return 0;
        }
        return TakeLoaded(target, limits, std::move(found), error, origin);
    }
    const JpegDecoding jpeg = format->decoder == PhotoDecoder::Jpeg
                                  ? DecodeJpegToHsv(fd.get(), target->buffer, limits, error)
                                  : JpegDecoding::NotTaken;
    switch (jpeg) {
        case JpegDecoding::Decoded:
            break;
        case JpegDecoding::Refused:
            return 0;
        case JpegDecoding::NotTaken: {
            QByteArray exif;
            if (!ReadChunks(fd.get(), &exif, error) ||
                !DecodeWithQt(fd.get(), target, limits, error, &found.bitsPerChannel,
                              &found.damagedRows, format))
                return 0;
            if (!TurnTiffUpright(target->buffer, ChunkExifOrientation(std::move(exif)))) {
                C_ImgBuff empty;
                target->buffer->Swap(empty);
                SetPhotoError(error, PhotoFailure::NotEnoughMemory,
                              "not enough memory to turn the picture upright");
                return 0;
            }
            break;
        }
    }
    // From the file already open: the metadata belongs to the very bytes just decoded.
    if (origin) ReadPhotoMetadata(fd.get(), &found);
    return TakeLoaded(target, limits, std::move(found), error, origin);
}
