#include "imageio/PhotoSaver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QByteArray>
#include <QIODevice>
#include <QImageReader>
#include <QImageWriter>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>

#include "image/HugePages.h"
#include "image/ImgBuff.h"
#include "image/PixelPlanes.h"
#include "imageio/JpegEncoder.h"
#include "imageio/PhotoFormats.h"
#include "imageio/PhotoMetadata.h"
#include "imageio/PhotoSaverTesting.h"
#include "imageio/tiff/TiffWriter.h"
#include "parallel/WorkerPool.h"

namespace {

// Allocations of encoder output left before the one a test makes fail; 0: none fails.
std::atomic<uint32_t> allocationsBeforeFailure{0};

// Rows first .. first + count - 1 of a task are image rows firstRow + first onwards, written from
// bits on: the whole picture, or one band of it for the JPEG encoder. Rows are addressed from bits
// because QImage::scanLine would detach, which is no business of several threads at once.
struct EncoderRowsContext {
    const C_ImgBuff* image;
    uint8_t* bits;
    size_t bytesPerLine;
    uint32_t firstRow;
};

// The high bytes, as QImage::Format_RGB888 lays them out.
void HsvRowsTask(void* context, uint32_t first, uint32_t count) {
    const auto* c = static_cast<const EncoderRowsContext*>(context);
    const size_t width = static_cast<size_t>(c->image->width);
    for (uint32_t y = first; y < first + count; ++y) {
        Hsv16ToHighBytes(reinterpret_cast<const uint16_t*>(c->image->pixels) +
                             size_t{c->firstRow + y} * width * 3,
                         c->bits + y * c->bytesPerLine, width, ByteOrder::kRgb);
    }
}

// The whole 16-bit RGB, as QImage::Format_RGBX64 lays it out: R, G, B, X in native order.
void WideHsvRowsTask(void* context, uint32_t first, uint32_t count) {
    const auto* c = static_cast<const EncoderRowsContext*>(context);
    const size_t width = static_cast<size_t>(c->image->width);
    for (uint32_t y = first; y < first + count; ++y) {
        uint8_t* out = c->bits + y * c->bytesPerLine;
        ForEachRgb16Run(
            reinterpret_cast<const uint16_t*>(c->image->pixels) +
                size_t{c->firstRow + y} * width * 3,
            width,
            [out](const uint16_t* r, const uint16_t* g, const uint16_t* b, size_t x, size_t n) {
                for (size_t i = 0; i < n; ++i) {
                    const uint16_t rgbx[4] = {r[i], g[i], b[i], 0xFFFF};
                    std::memcpy(out + (x + i) * 8, rgbx, sizeof rgbx);
                }
            });
    }
}

// The whole 16-bit RGB, as a TIFF strip holds it: R, G, B in native order.
void Rgb16HsvRowsTask(void* context, uint32_t first, uint32_t count) {
    const auto* c = static_cast<const EncoderRowsContext*>(context);
    const size_t width = static_cast<size_t>(c->image->width);
    for (uint32_t y = first; y < first + count; ++y) {
        auto* out = reinterpret_cast<uint16_t*>(c->bits + y * c->bytesPerLine);
        ForEachRgb16Run(reinterpret_cast<const uint16_t*>(c->image->pixels) +
                            size_t{c->firstRow + y} * width * 3,
                        width,
                        [out](const uint16_t* r, const uint16_t* g, const uint16_t* b, size_t x,
                              size_t n) { JoinPixels16(r, g, b, out + 3 * x, n); });
    }
}

// PT_RGB8 and PT_RGB16 through the pixel accessor, which keeps the high byte.
void RgbRowsTask(void* context, uint32_t first, uint32_t count) {
    const auto* c = static_cast<const EncoderRowsContext*>(context);
    for (uint32_t y = first; y < first + count; ++y) {
        uint8_t* out = c->bits + y * c->bytesPerLine;
        for (int32_t x = 0; x < c->image->width; ++x, out += 3) {
            c->image->GetRGB8(x, static_cast<int32_t>(c->firstRow + y), out, out + 1, out + 2);
        }
    }
}

void GreyRowsTask(void* context, uint32_t first, uint32_t count) {
    const auto* c = static_cast<const EncoderRowsContext*>(context);
    for (uint32_t y = first; y < first + count; ++y) {
        uint8_t* out = c->bits + y * c->bytesPerLine;
        for (int32_t x = 0; x < c->image->width; ++x) {
            c->image->GetGray8(x, static_cast<int32_t>(c->firstRow + y), out + x);
        }
    }
}

bool HasRgbEncoderRows(const C_ImgBuff& image) {
    return image.type == PT_RGB8 || image.type == PT_RGB16 || image.type == PT_HSV16;
}

RowTask EncoderRowsTask(const C_ImgBuff& image, bool wide) {
    if (image.type == PT_HSV16) return wide ? WideHsvRowsTask : HsvRowsTask;
    return HasRgbEncoderRows(image) ? RgbRowsTask : GreyRowsTask;
}

// A random-access QIODevice over a descriptor that keeps the errno of a failed write, so that
// the reason reaches the user as the system gave it (disk full, file too large, ...). Encoders
// such as TIFF's seek back to fill in offsets, so it reads and writes at the device's position.
class DescriptorDevice : public QIODevice {
  public:
    explicit DescriptorDevice(int fd) : fd_(fd) {}
    int lastErrno() const { return errno_; }
    qint64 size() const override {
        struct stat status {};
        return fstat(fd_, &status) == 0 ? status.st_size : 0;
    }

  protected:
    qint64 readData(char* data, qint64 size) override {
        ssize_t got;
        do {
            got = pread(fd_, data, static_cast<size_t>(size), pos());
        } while (got < 0 && errno == EINTR);
        return got;
    }
    qint64 writeData(const char* data, qint64 size) override {
        qint64 done = 0;
        while (done < size) {
            const ssize_t wrote =
                pwrite(fd_, data + done, static_cast<size_t>(size - done), pos() + done);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) {
                errno_ = wrote < 0 ? errno : ENOSPC;
                return -1;
            }
            done += wrote;
        }
        return done;
    }

  private:
    int fd_;
    int errno_ = 0;
};

// What Qt's writers encode into: a buffer whose growth, asked for from inside libpng's and
// libtiff's callbacks, fails as a write rather than throwing through their frames.
class EncodedBuffer : public QBuffer {
  public:
    using QBuffer::QBuffer;
    bool outOfMemory() const { return outOfMemory_; }

  protected:
    qint64 writeData(const char* data, qint64 size) override {
        qint64 wrote = -1;
        if (!GrowEncoderOutput([&] { wrote = QBuffer::writeData(data, size); })) {
            outOfMemory_ = true;
            return -1;
        }
        return wrote;
    }

  private:
    bool outOfMemory_ = false;
};

// Whether encoded reads, by the header of the format's own reader, as a picture of size: Qt's
// writers first convert a picture to a layout of their own, and some write a conversion that
// failed for lack of memory, a null picture, as an empty file and report success.
bool HoldsPicture(QByteArray encoded, const QByteArray& qtFormat, QSize size) {
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::ReadOnly);
    return QImageReader(&buffer, qtFormat).size() == size;
}

void SetNoMemoryError(PhotoError* error) {
    SetPhotoError(error, PhotoFailure::NotEnoughMemory, "not enough memory");
}

// Runs save, a failed allocation that throws (Qt's containers, Exiv2's) failing it: the roads
// through C libraries catch theirs before they return into the library.
template <typename Save>
int FailingWithoutMemory(const Save& save, PhotoError* error) {
    try {
        return save();
    } catch (const std::bad_alloc&) {
        SetNoMemoryError(error);
        return 0;
    }
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string RandomName(const std::string& folder) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char name[32];
    std::snprintf(name, sizeof name, "/.lumivex-%016llx",
                  static_cast<unsigned long long>(random()));
    return folder + name;
}

// A new file in folder that nobody else can see yet: unnamed where the file system allows it, so
// that even a killed process leaves nothing behind; otherwise under a fresh hidden name.
int OpenTemporary(const std::string& folder, std::string* name) {
    const int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        *name = RandomName(folder);
        const int named = open(name->c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (named >= 0 || errno != EEXIST) return named;
    }
    return -1;
}

// Gives the unnamed file fd a name beside finalPath and moves it over finalPath; without replace,
// links it as finalPath where no file has that name (a link, unlike a rename, fails where it is
// taken).
int PutInPlace(int fd, const std::string& folder, const std::string& finalPath, bool replace) {
    const std::string handle = "/proc/self/fd/" + std::to_string(fd);
    if (!replace)
        return linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, finalPath.c_str(), AT_SYMLINK_FOLLOW) ==
               0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = RandomName(folder);
        if (linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            if (errno == EEXIST) continue;
            return 0;
        }
        if (rename(name.c_str(), finalPath.c_str()) == 0) return 1;
        const int saved = errno;
        unlink(name.c_str());
        errno = saved;
        return 0;
    }
    errno = EEXIST;
    return 0;
}

}  // namespace

bool EncoderAllocationFails() {
    uint32_t left = allocationsBeforeFailure.load(std::memory_order_relaxed);
    while (left != 0 && !allocationsBeforeFailure.compare_exchange_weak(left, left - 1)) {
    }
    return left == 1;
}

void PhotoSaver_FailEncoderAllocation(uint32_t n) {
    allocationsBeforeFailure.store(n, std::memory_order_relaxed);
}

int FindEncoderFormat(const char* mimeType, QByteArray* format) {
    if (mimeType == nullptr) return 0;
    const QList<QByteArray> formats = QImageWriter::imageFormatsForMimeType(QByteArray(mimeType));
    if (formats.isEmpty()) return 0;
    if (format != nullptr) *format = formats.first();
    return 1;
}

QImage MakeEncoderImage(const C_ImgBuff& image, bool wide) {
    if (image.type == PT_NONE || image.width <= 0 || image.height <= 0) return QImage();
    const bool rgb = HasRgbEncoderRows(image);
    wide = wide && image.type == PT_HSV16;
    QImage picture(
        image.width, image.height,
        wide ? QImage::Format_RGBX64 : (rgb ? QImage::Format_RGB888 : QImage::Format_Grayscale8));
    if (picture.isNull()) return picture;
    AdviseHugePages(picture.bits(), static_cast<uint64_t>(picture.sizeInBytes()));
    EncoderRowsContext context{&image, picture.bits(), static_cast<size_t>(picture.bytesPerLine()),
                               0};
    WorkerPool::Run(EncoderRowsTask(image, wide), &context, static_cast<unsigned>(image.height));
    return picture;
}

int CheckSaveSize(const char* path, int64_t width, int64_t height, PhotoError* error) {
    if (width <= 0 || height <= 0) {
        SetPhotoError(error, PhotoFailure::NotAPhoto, "there is no picture to save");
        return 0;
    }
    const PhotoFormat* format = WrittenPhotoFormat(path);
    if (format != nullptr && (width > format->largestSide || height > format->largestSide)) {
        SetPhotoError(error, PhotoFailure::TooLargeForFormat,
                      std::to_string(width) + " x " + std::to_string(height) +
                          " is too large for " + format->name + ", which holds at most " +
                          std::to_string(format->largestSide) + " pixels a side");
        return 0;
    }
    return 1;
}

int CheckSaveTarget(const char* path, std::string* finalPath, PhotoError* error) {
    const bool named = path != nullptr && path[0] != '\0';
    const PhotoFormat* format = named ? WrittenPhotoFormat(path) : nullptr;
    if (named && (format == nullptr || !FindEncoderFormat(format->mimeType, nullptr))) {
        SetPhotoError(error, PhotoFailure::UnknownFormat,
                      "the extension names no format that can be written (" +
                          JoinWords(WrittenExtensions(true), ", ", " or ") + ")");
        return 0;
    }
    return CheckWriteTarget(path, finalPath, error);
}

int CheckWriteTarget(const char* path, std::string* finalPath, PhotoError* error) {
    if (path == nullptr || path[0] == '\0') {
        SetPhotoError(error, PhotoFailure::NoSuchFile, "no file name");
        return 0;
    }
    struct stat status {};
    std::string target = path;
    if (lstat(path, &status) != 0) {
        if (errno != ENOENT) {
            SetErrnoError(error, errno);
            return 0;
        }
        const std::string folder = FolderOf(target);
        struct stat folderStatus {};
        if (stat(folder.c_str(), &folderStatus) != 0 || !S_ISDIR(folderStatus.st_mode)) {
            SetPhotoError(error, PhotoFailure::FolderMissing,
                          "the folder " + folder + " does not exist");
            return 0;
        }
    } else {
        if (S_ISLNK(status.st_mode)) {
            if (stat(path, &status) != 0) {
                if (errno == ENOENT) {
                    SetPhotoError(error, PhotoFailure::DanglingLink,
                                  "is a symbolic link to a file that does not exist");
                } else {
                    SetErrnoError(error, errno);
                }
                return 0;
            }
        }
        if (S_ISDIR(status.st_mode)) {
            SetPhotoError(error, PhotoFailure::IsFolder, "is a folder");
            return 0;
        }
        if (!S_ISREG(status.st_mode)) {
            SetPhotoError(error, PhotoFailure::NotRegularFile,
                          DescribeNonRegularFile(status.st_mode));
            return 0;
        }
        // A link is written through: the file it points to is replaced, the link stays.
        char resolved[PATH_MAX];
        if (realpath(path, resolved) == nullptr) {
            SetErrnoError(error, errno);
            return 0;
        }
        target = resolved;
    }
    if (finalPath != nullptr) *finalPath = std::move(target);
    return 1;
}

int WriteFileAtomically(const std::string& finalPath,
                        const std::function<int(QIODevice*, PhotoError*)>& write, PhotoError* error,
                        bool replace) {
    const std::string folder = FolderOf(finalPath);
    std::string name;
    const FileDescriptor fd(OpenTemporary(folder, &name));
    if (fd.get() < 0) {
        SetErrnoError(error, errno);
        return 0;
    }
    auto fail = [&](int errnum) {
        if (errnum != 0) SetErrnoError(error, errnum);
        if (!name.empty()) unlink(name.c_str());
        return 0;
    };
    // A replaced file keeps its permissions and, where allowed, its owner.
    struct stat existing {};
    if (stat(finalPath.c_str(), &existing) == 0) {
        if (fchmod(fd.get(), existing.st_mode & 07777) != 0) return fail(errno);
        // An ordinary user may not give a file to someone else; theirs it becomes then.
        if (fchown(fd.get(), existing.st_uid, existing.st_gid) != 0 && errno != EPERM) {
            return fail(errno);
        }
    }
    DescriptorDevice device(fd.get());
    device.open(QIODevice::ReadWrite | QIODevice::Unbuffered);
    if (!FailingWithoutMemory([&] { return write(&device, error); }, error)) {
        if (device.lastErrno() == 0 && (error == nullptr || error->failure == PhotoFailure::None))
            SetPhotoError(error, PhotoFailure::SystemError, "could not be written");
        return fail(device.lastErrno());
    }
    if (fdatasync(fd.get()) != 0) return fail(errno);
    if (!name.empty()) {
        if ((replace ? rename(name.c_str(), finalPath.c_str())
                     : link(name.c_str(), finalPath.c_str())) != 0)
            return fail(errno);
        if (!replace) unlink(name.c_str());
        return 1;
    }
    if (!PutInPlace(fd.get(), folder, finalPath, replace)) return fail(errno);
    return 1;
}

namespace {

// 16 bits a channel only where the format holds them and the source had them (or options ask).
bool SavesWide(const PhotoFormat& format, const PhotoOrigin* origin, const SaveOptions& options) {
    if (format.deepestBits <= 8) return false;
    if (options.bitsPerChannel != 0) return options.bitsPerChannel == 16;
    return origin && origin->bitsPerChannel > 8;
}

// Whether the source gave a density for the saved file to keep.
bool HasDensity(const PhotoOrigin* origin) {
    return origin && origin->dotsPerMeterX > 0 && origin->dotsPerMeterY > 0;
}

// Every other format through Qt's writer, from the whole picture as its encoder takes it.
int EncodeWithQt(const C_ImgBuff& image, const PhotoFormat& format, const PhotoOrigin* origin,
                 const SaveOptions& options, QByteArray* encoded, PhotoError* error) {
    QImage picture = MakeEncoderImage(image, SavesWide(format, origin, options));
    if (picture.isNull()) {
        SetNoMemoryError(error);
        return 0;
    }
    if (HasDensity(origin)) {
        picture.setDotsPerMeterX(origin->dotsPerMeterX);
        picture.setDotsPerMeterY(origin->dotsPerMeterY);
    }
    QByteArray qtFormat;
    FindEncoderFormat(format.mimeType, &qtFormat);
    EncodedBuffer buffer(encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, qtFormat);
    const bool written = writer.write(picture);
    if (buffer.outOfMemory()) {
        SetNoMemoryError(error);
        return 0;
    }
    // Writing into memory, a handler that gives up for no reason of its own has run short of it
    // (libpng's or libtiff's allocations, or Qt's conversion of the picture).
    if (!written && writer.error() == QImageWriter::UnknownError) {
        SetPhotoError(
            error, PhotoFailure::NotEnoughMemory,
            "not enough memory: the encoder gave up (" + writer.errorString().toStdString() + ")");
        return 0;
    }
    if (!written) {
        SetPhotoError(error, PhotoFailure::SystemError,
                      "could not be encoded: " + writer.errorString().toStdString());
        return 0;
    }
    if (!HoldsPicture(*encoded, qtFormat, picture.size())) {
        SetPhotoError(error, PhotoFailure::NotEnoughMemory,
                      "not enough memory: the encoder wrote no picture");
        return 0;
    }
    return 1;
}

JpegPicture JpegPictureOf(int32_t width, int32_t height, bool grey, const SaveOptions& options,
                          const PhotoOrigin* origin) {
    if (HasDensity(origin)) {
        return {width, height, grey, options.quality, origin->dotsPerMeterX, origin->dotsPerMeterY};
    }
    // A source without a density gets the one Qt gives a new picture (the screen's, or its
    // default without one).
    const QImage fresh(1, 1, QImage::Format_Grayscale8);
    return {width, height, grey, options.quality, fresh.dotsPerMeterX(), fresh.dotsPerMeterY()};
}

// JPEG through the own encoder, which takes the 8-bit rows band by band as the pool makes them.
int EncodeJpegPhoto(const C_ImgBuff& image, const SaveOptions& options, const PhotoOrigin* origin,
                    QByteArray* encoded, PhotoError* error) {
    const JpegPicture picture =
        JpegPictureOf(image.width, image.height, !HasRgbEncoderRows(image), options, origin);
    const RowTask task = EncoderRowsTask(image, false);
    return EncodeJpeg(
        picture,
        [&](uint32_t first, uint32_t count, uint8_t* rows, size_t stride) {
            EncoderRowsContext context{&image, rows, stride, first};
            WorkerPool::Run(task, &context, count);
            return true;
        },
        encoded, error);
}

// The file's bytes are the picture encoded in memory with the profile and metadata added, so
// that everything reaches the disk in the one atomic write.
int AddMetadataAndWrite(const std::string& finalPath, QByteArray& encoded, int32_t width,
                        int32_t height, const PhotoOrigin* origin, const SaveOptions& options,
                        PhotoError* error) {
    std::string reason;
    if (origin &&
        !EmbedPhotoMetadata(*origin, options.keepMetadata, width, height, &encoded, &reason)) {
        SetPhotoError(error, PhotoFailure::SystemError, reason);
        return 0;
    }
    if (encoded.isEmpty()) {
        SetPhotoError(error, PhotoFailure::SystemError, "the encoder wrote nothing");
        return 0;
    }
    return WriteFileAtomically(
        finalPath,
        [&](QIODevice* device, PhotoError*) {
            return device->write(encoded) == encoded.size() ? 1 : 0;
        },
        error, options.replaceExisting);
}

// TIFF from PT_HSV16 through libtiff straight to the device, the strips made band by band.
int WriteHsvTiff(const C_ImgBuff& image, const PhotoFormat& format, const PhotoOrigin* origin,
                 const SaveOptions& options, QIODevice* device, PhotoError* error) {
    const bool wide = SavesWide(format, origin, options);
    const bool density = HasDensity(origin);
    const TiffPicture picture{static_cast<uint32_t>(image.width),
                              static_cast<uint32_t>(image.height),
                              wide ? 16 : 8,
                              options.tiffCompression,
                              density ? origin->dotsPerMeterX : 0,
                              density ? origin->dotsPerMeterY : 0};
    const RowTask task = wide ? Rgb16HsvRowsTask : HsvRowsTask;
    return WriteRgbTiff(
        picture,
        [&](uint32_t first, uint32_t count, uint8_t* rows, size_t stride) {
            EncoderRowsContext context{&image, rows, stride, first};
            WorkerPool::Run(task, &context, count);
        },
        [&](QByteArray* tiff, std::string* reason) {
            return origin ? EmbedPhotoMetadata(*origin, options.keepMetadata, image.width,
                                               image.height, tiff, reason)
                          : 1;
        },
        device, error);
}

int SaveWhole(const char* path, CImgBuff* image, PhotoError* error, const PhotoOrigin* origin,
              const SaveOptions* options) {
    if (image == nullptr || image->buffer == nullptr) {
        SetPhotoError(error, PhotoFailure::NotAPhoto, "there is no picture to save");
        return 0;
    }
    const C_ImgBuff& buffer = *image->buffer;
    std::string finalPath;
    if (!CheckSaveTarget(path, &finalPath, error) ||
        !CheckSaveSize(path, buffer.type == PT_NONE ? 0 : buffer.width,
                       buffer.type == PT_NONE ? 0 : buffer.height, error)) {
        return 0;
    }
    const SaveOptions settings = options ? *options : SaveOptions();
    const PhotoFormat& format = *WrittenPhotoFormat(path);
    if (format.encoder == PhotoEncoder::Tiff && buffer.type == PT_HSV16) {
        return WriteFileAtomically(
            finalPath,
            [&](QIODevice* device, PhotoError* writeError) {
                return WriteHsvTiff(buffer, format, origin, settings, device, writeError);
            },
            error, settings.replaceExisting);
    }
    QByteArray encoded;
    // JPEG needs no whole encoder image.
    if (format.encoder == PhotoEncoder::Jpeg
            ? !EncodeJpegPhoto(buffer, settings, origin, &encoded, error)
            : !EncodeWithQt(buffer, format, origin, settings, &encoded, error)) {
        return 0;
    }
    return AddMetadataAndWrite(finalPath, encoded, buffer.width, buffer.height, origin, settings,
                               error);
}

int SaveBands(const char* path, int32_t width, int32_t height, const MakePhotoBand& make,
              PhotoError* error, const PhotoOrigin* origin, const SaveOptions* options) {
    std::string finalPath;
    if (!CheckSaveTarget(path, &finalPath, error) || !CheckSaveSize(path, width, height, error))
        return 0;
    if (WrittenPhotoFormat(path)->encoder != PhotoEncoder::Jpeg) {
        SetPhotoError(error, PhotoFailure::SystemError, "only JPEG is saved band by band");
        return 0;
    }
    const SaveOptions settings = options ? *options : SaveOptions();
    C_ImgBuff band;
    QByteArray encoded;
    const int encodedAll = EncodeJpeg(
        JpegPictureOf(width, height, false, settings, origin),
        [&](uint32_t first, uint32_t count, uint8_t* rows, size_t stride) {
            if (band.height != static_cast<int32_t>(count) &&
                !band.Create(width, static_cast<int32_t>(count), PT_HSV16)) {
                SetNoMemoryError(error);
                return false;
            }
            if (!make(static_cast<int32_t>(first), static_cast<int32_t>(count), &band, error))
                return false;
            EncoderRowsContext context{&band, rows, stride, 0};
            WorkerPool::Run(EncoderRowsTask(band, false), &context, count);
            return true;
        },
        &encoded, error);
    return encodedAll &&
           AddMetadataAndWrite(finalPath, encoded, width, height, origin, settings, error);
}

}  // namespace

int SavePhoto(const char* path, CImgBuff* image, PhotoError* error, const PhotoOrigin* origin,
              const SaveOptions* options) {
    SetPhotoError(error, PhotoFailure::None, "");
    return FailingWithoutMemory([&] { return SaveWhole(path, image, error, origin, options); },
                                error);
}

int SavePhotoBands(const char* path, int32_t width, int32_t height, const MakePhotoBand& make,
                   PhotoError* error, const PhotoOrigin* origin, const SaveOptions* options) {
    SetPhotoError(error, PhotoFailure::None, "");
    return FailingWithoutMemory(
        [&] { return SaveBands(path, width, height, make, error, origin, options); }, error);
}
