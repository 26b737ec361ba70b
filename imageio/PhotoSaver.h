// Saving an image: it becomes top-down 8-bit rows, which the Qt encoder named by the file's
// extension writes with its default settings. The target is checked before any pixel work, and
// the file is replaced only once it has been written completely, so a failed save leaves an
// existing file as it was and nothing beside it.
#pragma once

#include <QImage>

#include <cstdint>
#include <functional>
#include <string>

#include "imageio/PhotoFile.h"

class CImgBuff;
class C_ImgBuff;
class QByteArray;
class QIODevice;

// JPEG stores each side in 16 bits and libjpeg refuses more than this.
inline constexpr int64_t kMaxJpegSide = 65500;

// Writes image to path (bytes as the file system holds them). The extension, in any case, chooses
// the format: jpg and jpeg give JPEG, png PNG, bmp BMP, tif and tiff TIFF; any other fails.
// Returns 1 saved, 0 failed with the reason in error (may be null).
int SavePhoto(const char* path, CImgBuff* image, PhotoError* error = nullptr);

// Whether path can be saved to, decided before any pixel work: a format for its extension, and a
// target that does not exist (in an existing folder), is a regular file, or is a symbolic link to
// one, which is written through (the link stays a link). finalPath (may be null) receives the file
// to replace. Returns 1, or 0 with error.
int CheckSaveTarget(const char* path, std::string* finalPath, PhotoError* error);

// Whether the format of path's extension holds a width x height picture. Returns 1, or 0 with
// error.
int CheckSaveSize(const char* path, int64_t width, int64_t height, PhotoError* error);

// Replaces (or creates) the regular file finalPath with what write puts on the device, atomically:
// the content goes to an unnamed file in the same folder that takes the old file's permissions and
// is moved over the target only once write has succeeded and the data is on disk. Returns 1, or 0
// with error; on 0 nothing on disk has changed.
int WriteFileAtomically(const std::string& finalPath,
                        const std::function<int(QIODevice*, PhotoError*)>& write,
                        PhotoError* error);

// The MIME type of the encoder SavePhoto uses for path's extension, in any case; null when the
// extension names no format it writes.
const char* GetEncoderMimeType(const char* path);

// Puts into format the name of the first Qt image writer for mimeType (compared exactly).
// Returns 1 found, 0 not found.
int FindEncoderFormat(const char* mimeType, QByteArray* format);

// The picture the encoder is given: top-down 8-bit RGB for PT_RGB8, PT_RGB16 and PT_HSV16 (the
// high bytes of the 16-bit RGB), 8-bit grey for every other type; null when empty or short of
// memory.
QImage MakeEncoderImage(const C_ImgBuff& image);
