#include "imageio/PhotoSaver.h"

#include <QByteArray>
#include <QImageWriter>
#include <QSaveFile>
#include <QString>

#include <algorithm>
#include <cstring>

#include "app/display/DisplayDib.h"
#include "image/ImgBuff.h"
#include "imageio/PhotoLoader.h"
#include "parallel/WorkerPool.h"

namespace {

struct ExtensionEncoder {
    const char* extension;
    const char* mimeType;
};

constexpr ExtensionEncoder kEncoders[] = {
    {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"png", "image/png"},
    {"bmp", "image/bmp"},  {"tif", "image/tiff"},  {"tiff", "image/tiff"},
};

}  // namespace

const char* GetEncoderMimeType(const char* path) {
    char extension[kExtensionBufferSize];
    if (!GetLowerCaseExtension(path, extension)) return nullptr;
    for (const ExtensionEncoder& entry : kEncoders) {
        if (std::strcmp(extension, entry.extension) == 0) return entry.mimeType;
    }
    return nullptr;
}

void UprightRowsTask(void* context, uint32_t first, uint32_t count) {
    const auto* c = static_cast<const UprightRowsContext*>(context);
    const size_t width = static_cast<size_t>(c->width);
    for (uint32_t i = first; i < first + count; ++i) {
        uint8_t* top = c->pixels + static_cast<size_t>(i) * c->stride;
        uint8_t* bottom = c->pixels + static_cast<size_t>(c->height - 1 - i) * c->stride;
        if (c->bytesPerPixel == 1) {
            if (top != bottom) std::swap_ranges(top, top + width, bottom);
            continue;
        }
        for (size_t x = 0; x < width * 3; x += 3) {
            const uint8_t b = top[x], g = top[x + 1], r = top[x + 2];
            top[x] = bottom[x + 2];
            top[x + 1] = bottom[x + 1];
            top[x + 2] = bottom[x];
            bottom[x] = r;
            bottom[x + 1] = g;
            bottom[x + 2] = b;
        }
    }
}

QImage WrapDisplayDib(DibHeader* dib) {
    if (dib == nullptr || dib->width <= 0 || dib->height <= 0) return QImage();
    QImage::Format format;
    if (dib->bitCount == 24) {
        format = QImage::Format_RGB888;
    } else if (dib->bitCount == 8) {
        // The palette of an 8-bit display bitmap is always the plain grey ramp.
        format = QImage::Format_Grayscale8;
    } else {
        return QImage();
    }
    const uint32_t stride = DibStride(dib->width, dib->bitCount);
    UprightRowsContext rows{DibPixels(dib), stride, dib->width, dib->height, dib->bitCount / 8};
    WorkerPool::Run(UprightRowsTask, &rows, static_cast<unsigned>((dib->height + 1) / 2));
    // Over the bitmap's own memory: no copy of a picture that may be hundreds of megabytes.
    return QImage(static_cast<const uchar*>(DibPixels(dib)), dib->width, dib->height, stride,
                  format);
}

int FindEncoderFormat(const char* mimeType, QByteArray* format) {
    if (mimeType == nullptr) return 0;
    const QList<QByteArray> formats = QImageWriter::imageFormatsForMimeType(QByteArray(mimeType));
    if (formats.isEmpty()) return 0;
    if (format != nullptr) *format = formats.first();
    return 1;
}

int SaveBitmapByExtension(const char* path, const QImage& bitmap) {
    QString qtPath;
    if (!MakeQtPath(path, &qtPath)) return 0;
    const char* mimeType = GetEncoderMimeType(path);
    if (mimeType == nullptr) return 0;
    QByteArray format;
    if (!FindEncoderFormat(mimeType, &format)) return 0;

    // The encoder writes into a new file beside the target, which replaces the target only once
    // complete: a failure at any point leaves an existing file untouched and nothing behind.
    QSaveFile file(qtPath);
    if (!file.open(QIODevice::WriteOnly)) return 0;
    QImageWriter writer(&file, format);
    if (!writer.write(bitmap)) {
        file.cancelWriting();
        return 0;
    }
    return file.commit() ? 1 : 0;
}

int SavePhoto(const char* path, CImgBuff* image) {
    if (path == nullptr || path[0] == '\0' || image == nullptr) return 0;
    DibHeader* dib = MakeDisplayDib(image, nullptr);
    if (dib == nullptr) return 0;
    int saved = 0;
    {
        const QImage bitmap = WrapDisplayDib(dib);
        if (!bitmap.isNull() && bitmap.width() != 0) saved = SaveBitmapByExtension(path, bitmap);
    }
    FreeDisplayDib(dib);
    return saved;
}
