#include "imageio/PhotoLoader.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QString>
#include <QStringDecoder>

#include <algorithm>
#include <cstring>
#include <utility>

#include "image/ImgBuff.h"
#include "imageio/LibTiffDecoder.h"
#include "imageio/TiffReader.h"
#include "parallel/WorkerPool.h"

namespace {

// The largest pixel count whose PT_HSV16 block (6 bytes a pixel, a 4-byte header, whole 4096-byte
// granules) still fits a 32-bit size. Larger pictures could never be held, so they are refused
// from the header alone instead of being decoded first.
constexpr uint64_t kMaxPhotoPixels = (0xFFFFF000ull - 4) / 6;

// Qt refuses pictures above 128 MB by default, about 33.5 megapixels. Raised to what the largest
// holdable picture needs in the widest format a decoder delivers (8 bytes a pixel), so that
// every photo the buffers can take also decodes.
constexpr int kReaderAllocationLimitMb = static_cast<int>((kMaxPhotoPixels * 8 + 0xFFFFF) >> 20);

bool FitsPhotoBuffer(int64_t width, int64_t height) {
    return width > 0 && height > 0 &&
           static_cast<uint64_t>(width) * static_cast<uint64_t>(height) <= kMaxPhotoPixels;
}

// Brings a decoded picture to rows that CopyDecodedRowsTask reads: 32-bit RGB with straight
// (non-premultiplied) alpha, or 8-bit grey. Premultiplied pictures are un-premultiplied so that
// dropping alpha keeps the stored colour rather than a colour blended towards black.
QImage ToReadableRows(QImage picture) {
    switch (picture.format()) {
        case QImage::Format_RGB32:
        case QImage::Format_ARGB32:
        case QImage::Format_Grayscale8:
            return picture;
        default:
            return std::move(picture).convertToFormat(QImage::Format_ARGB32);
    }
}

int DecodeWithQt(const QString& qtPath, CImgBuff* target) {
    // A FIFO or device would block or never end; photos are regular files.
    if (!QFileInfo(qtPath).isFile()) return 0;
    // An open file, rather than a name, keeps the reader from trying other files with suffixes
    // appended when the name itself cannot be opened.
    QFile file(qtPath);
    if (!file.open(QIODevice::ReadOnly)) return 0;

    QImageReader::setAllocationLimit(kReaderAllocationLimitMb);
    QImageReader reader(&file);
    // Camera and phone photos are stored sideways with an orientation tag; they arrive upright.
    reader.setAutoTransform(true);
    const QSize announced = reader.size();
    if (announced.isValid() && !FitsPhotoBuffer(announced.width(), announced.height())) return 0;

    QImage picture;
    if (!reader.read(&picture) || picture.isNull()) return 0;
    file.close();
    if (!FitsPhotoBuffer(picture.width(), picture.height())) return 0;
    picture = ToReadableRows(std::move(picture));
    if (picture.isNull()) return 0;

    C_ImgBuff* buffer = target->buffer;
    if (!buffer->Create(picture.width(), picture.height(), PT_RGB8)) return 0;
    DecodedRowsContext rows{picture.constBits(), static_cast<ptrdiff_t>(picture.bytesPerLine()),
                            picture.width(), picture.format() == QImage::Format_Grayscale8 ? 1 : 0,
                            buffer->pixels};
    WorkerPool::Run(CopyDecodedRowsTask, &rows, static_cast<unsigned>(picture.height()));
    // Freed before the conversion, which needs the RGB and the HSV block at once.
    picture = QImage();

    if (!target->ConvertType(PT_HSV16)) {
        // An RGB buffer would pass for a photo with every later stage; leave none behind.
        buffer->Create(0, 0, PT_NONE);
        return 0;
    }
    return 1;
}

}  // namespace

void CopyDecodedRowsTask(void* context, uint32_t first, uint32_t count) {
    const auto* c = static_cast<const DecodedRowsContext*>(context);
    const size_t width = static_cast<size_t>(c->width);
    for (uint32_t y = first; y < first + count; ++y) {
        const uint8_t* source = c->bits + static_cast<ptrdiff_t>(y) * c->bytesPerLine;
        uint8_t* out = c->destination + static_cast<size_t>(y) * width * 3;
        if (c->grey) {
            for (size_t x = 0; x < width; ++x) {
                out[0] = out[1] = out[2] = source[x];
                out += 3;
            }
        } else {
            for (size_t x = 0; x < width; ++x) {
                uint32_t argb;
                std::memcpy(&argb, source + x * 4, sizeof argb);
                out[0] = static_cast<uint8_t>(argb >> 16);
                out[1] = static_cast<uint8_t>(argb >> 8);
                out[2] = static_cast<uint8_t>(argb);
                out += 3;
            }
        }
    }
}

void LowerCaseLetters(char* text) {
    // ASCII only: bytes of multibyte UTF-8 characters must stay as they are, whatever the locale.
    for (; *text != '\0'; ++text) {
        if (*text >= 'A' && *text <= 'Z') *text = static_cast<char>(*text - 'A' + 'a');
    }
}

int GetExtension(const char* path, char* extension) {
    if (path == nullptr) return 0;
    if (extension == nullptr) return 1;
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr) {
        extension[0] = '\0';
        return 1;
    }
    const size_t length = std::min(std::strlen(dot + 1), kExtensionBufferSize - 1);
    std::memcpy(extension, dot + 1, length);
    extension[length] = '\0';
    return 1;
}

int GetLowerCaseExtension(const char* path, char* extension) {
    if (!GetExtension(path, extension)) return 0;
    if (extension != nullptr) LowerCaseLetters(extension);
    return 1;
}

int MakeQtPath(const char* path, QString* qtPath) {
    if (path == nullptr || qtPath == nullptr) return 0;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString converted = decoder(QByteArrayView(path, static_cast<qsizetype>(std::strlen(path))));
    if (decoder.hasError() || converted.size() > kMaxPathUnits) return 0;
    *qtPath = std::move(converted);
    return 1;
}

int LoadPhoto(const char* path, CImgBuff* target) {
    if (path == nullptr || path[0] == '\0' || target == nullptr) return 0;
    char extension[kExtensionBufferSize];
    if (!GetLowerCaseExtension(path, extension)) return 0;
    if (std::strcmp(extension, "tif") == 0 || std::strcmp(extension, "tiff") == 0) {
        // Read once: the own reader keeps its results for the files it takes, libtiff takes
        // every other TIFF at full precision, and Qt gets only what neither decodes.
        if (TiffFile* file = ReadTiffFile(path)) {
            const int loaded =
                LoadTiffFile(file, target) ||
                DecodeTiffWithLibtiff(file->bytes, file->size, kMaxPhotoPixels, target, nullptr);
            FreeTiffFile(file);
            if (loaded) return 1;
        }
    }
    QString qtPath;
    if (!MakeQtPath(path, &qtPath)) return 0;
    return DecodeWithQt(qtPath, target);
}
