// Saving an image: it becomes top-down 8-bit rows, or 16-bit rows for a deep photo saved as TIFF
// or PNG, which the Qt encoder named by the file's extension encodes in memory; JPEG goes through
// the own encoder instead, which takes the same rows band by band as they are made, and TIFF of
// an HSV image through libtiff, strip by strip straight to the file. The source photo's colour
// profile and metadata are added to those bytes (to a TIFF's first directory, made apart). The
// target is checked before any pixel work, and the file is replaced only once it has been written
// completely, so a failed save leaves an existing file as it was and nothing beside it. Memory
// running short in the own encoders, Qt's writers or the codecs under them fails the save with
// PhotoFailure::NotEnoughMemory; no exception leaves a save.
#pragma once

#include <QImage>

#include <cstdint>
#include <functional>
#include <string>

#include "imageio/JpegEncoder.h"
#include "imageio/PhotoFile.h"
#include "imageio/tiff/TiffWriter.h"

class CImgBuff;
class C_ImgBuff;
class QByteArray;
class QIODevice;
struct PhotoOrigin;

inline constexpr int kSourceQuality = 0;

// How a photo is saved beyond what its file name says.
struct SaveOptions {
    // 8 or 16 bits per channel for TIFF and PNG files of PT_HSV16 images; 0 keeps the source's
    // precision (16 when its samples held more than 8 bits). JPEG and BMP are always 8 bits.
    int bitsPerChannel = 0;
    bool keepMetadata = true;  // EXIF, XMP and IPTC; the colour profile is always kept
    // JPEG quality 1..100; -1 the encoder's default; kSourceQuality the source JPEG's own (the
    // encoder's default for other sources), which the caller puts in before saving.
    int quality = -1;
    TiffCompression tiffCompression = TiffCompression::Lzw;  // of PT_HSV16 photos saved as TIFF
    // false: a file at the path is never replaced, even one that appears while the picture is
    // encoded; the save fails instead ("File exists").
    bool replaceExisting = true;
};

// Writes image to path (bytes as the file system holds them). The extension, in any case, chooses
// the format among those the table of formats writes; any other fails.
// With origin, the file carries the source photo's colour profile and metadata, as options say
// (null: the defaults). Returns 1 saved, 0 failed with the reason in error (may be null).
int SavePhoto(const char* path, CImgBuff* image, PhotoError* error = nullptr,
              const PhotoOrigin* origin = nullptr, const SaveOptions* options = nullptr);

// A picture made band by band while it is saved, from the top: make fills band (PT_HSV16, the
// picture's width, count rows, made by the saver) with rows first .. first + count - 1 and
// returns 1, or 0 with error set to stop the save. Bands are kJpegBandRows high, the last one
// what is left.
using MakePhotoBand =
    std::function<int(int32_t first, int32_t count, C_ImgBuff* band, PhotoError* error)>;

// SavePhoto for a width x height picture made band by band as it is encoded, never whole in
// memory: the same file as SavePhoto writes for the whole picture. JPEG files only; any other
// extension fails. A failed make leaves nothing on disk, as any failed save.
int SavePhotoBands(const char* path, int32_t width, int32_t height, const MakePhotoBand& make,
                   PhotoError* error, const PhotoOrigin* origin = nullptr,
                   const SaveOptions* options = nullptr);

// Whether path can be saved to, decided before any pixel work: a format for its extension, and a
// target CheckWriteTarget takes. Returns 1, or 0 with error.
int CheckSaveTarget(const char* path, std::string* finalPath, PhotoError* error);

// Whether path can be written: it does not exist (in an existing folder), is a regular file, or is
// a symbolic link to one, which is written through (the link stays a link). finalPath (may be
// null) receives the file to replace. Returns 1, or 0 with error.
int CheckWriteTarget(const char* path, std::string* finalPath, PhotoError* error);

// Whether the format of path's extension holds a width x height picture. Returns 1, or 0 with
// error.
int CheckSaveSize(const char* path, int64_t width, int64_t height, PhotoError* error);

// Replaces (or creates) the regular file finalPath with what write puts on the device, atomically:
// the content goes to an unnamed file in the same folder that takes the old file's permissions and
// is moved over the target only once write has succeeded and the data is on disk; without replace,
// it only takes the name where no file has it. Returns 1, or 0 with error; on 0 nothing on disk has
// changed.
int WriteFileAtomically(const std::string& finalPath,
                        const std::function<int(QIODevice*, PhotoError*)>& write, PhotoError* error,
                        bool replace = true);

// Puts into format the name of the first Qt image writer for mimeType (compared exactly).
// Returns 1 found, 0 not found.
int FindEncoderFormat(const char* mimeType, QByteArray* format);

// The picture Qt's encoders are given (the JPEG encoder gets the same rows band by band):
// top-down 8-bit RGB for PT_RGB8, PT_RGB16 and PT_HSV16 (the high bytes of the 16-bit RGB), 8-bit
// grey for every other type; with wide, PT_HSV16 gives the whole 16-bit RGB
// (QImage::Format_RGBX64). Null when empty or short of memory.
QImage MakeEncoderImage(const C_ImgBuff& image, bool wide = false);
