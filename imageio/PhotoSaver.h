// Saving an image: it becomes a display bitmap, which the Qt encoder named by the file's
// extension writes with its default settings. The file is replaced only once it has been
// written completely, so a failed save leaves an existing file as it was.
#pragma once

#include <QImage>

#include <cstdint>

class CImgBuff;
class QByteArray;
struct DibHeader;

// Writes image to path (UTF-8). The extension, in any case, chooses the format: jpg and jpeg
// give JPEG, png PNG, bmp BMP, tif and tiff TIFF; any other fails. Returns 1 saved, 0 failed.
int SavePhoto(const char* path, CImgBuff* image);

// The MIME type of the encoder SavePhoto uses for path's extension, in any case; null when the
// extension names no format it writes.
const char* GetEncoderMimeType(const char* path);

// Writes bitmap to path with the encoder for the path's extension. Returns 1 or 0.
int SaveBitmapByExtension(const char* path, const QImage& bitmap);

// Puts into format the name of the first Qt image writer for mimeType (compared exactly).
// Returns 1 found, 0 not found.
int FindEncoderFormat(const char* mimeType, QByteArray* format);

// Rearranges the rows of dib in place into a top-down picture (red first for 24-bit bitmaps)
// and returns a QImage over that memory, valid while dib lives; null for an unknown bit count.
QImage WrapDisplayDib(DibHeader* dib);

// Row pairs of a bottom-up bitmap exchanged (top with bottom), and for 24-bit rows red and
// blue swapped on the way. Item i handles rows i and height - 1 - i, for (height + 1) / 2 items.
struct UprightRowsContext {
    uint8_t* pixels;
    uint32_t stride;
    int32_t width;
    int32_t height;
    int bytesPerPixel;  // 3 or 1
};

void UprightRowsTask(void* context, uint32_t first, uint32_t count);
