// The photo file formats, one row each: how a file of the format is told by its first bytes, the
// extensions that name it, its MIME type, the roads that decode and encode it, what it holds, and
// where the program offers it. The loader, the saver, the window's file dialogs, the batch tool's
// --format check and help, and the desktop entry's MIME list are all made from this table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class PhotoDecoder {
    Jpeg,  // libjpeg band by band, Qt's reader for what it does not take (progressive, CMYK, ...)
    Tiff,  // the own TIFF reader, libtiff for what it refuses
    Qt,    // Qt's image reader
};

enum class PhotoEncoder {
    None,  // not written
    Jpeg,  // the own encoder, band by band
    Tiff,  // libtiff strip by strip for PT_HSV16 images, Qt's writer for the others
    Qt,    // Qt's writer, from the whole picture
};

// Where a saved file of the format carries the source's colour profile, EXIF, XMP and IPTC.
enum class MetadataKind {
    None,      // nowhere: written without them
    Segments,  // JPEG's APP segments
    Chunks,    // PNG's chunks
    Tags,      // TIFF's first directory
};

struct PhotoFormat {
    const char* name;  // as messages and help texts name it
    // The first bytes of every file of the format, one of these; '?' stands for any byte.
    std::string_view signatures[4];
    // Lower case, the first the one an output of the format is given.
    const char* extensions[3];
    const char* mimeType;
    PhotoDecoder decoder;
    PhotoEncoder encoder = PhotoEncoder::None;
    int deepestBits = 8;  // the most bits a channel it keeps, loaded and saved: 8 or 16
    int64_t largestSide;  // the widest and tallest picture it holds, in pixels
    MetadataKind metadata = MetadataKind::None;
    // The name the window's file dialogs give it; null when they do not offer it.
    const char* windowLabel = nullptr;
    bool windowSaves = false;  // the save dialog offers it too (windowLabel set)
    bool desktop = false;      // the desktop entry offers the program for its MIME type
};

inline constexpr PhotoFormat kPhotoFormats[] = {
    {
        .name = "JPEG",
        .signatures = {"\xFF\xD8\xFF"},
        .extensions = {"jpg", "jpeg"},
        .mimeType = "image/jpeg",
        .decoder = PhotoDecoder::Jpeg,
        .encoder = PhotoEncoder::Jpeg,
        .largestSide = 65500,  // libjpeg's limit, below the 16 bits the format stores
        .metadata = MetadataKind::Segments,
        .windowLabel = "jpgファイル",
        .windowSaves = true,
        .desktop = true,
    },
    {
        .name = "PNG",
        .signatures = {"\x89PNG\r\n\x1A\n"},
        .extensions = {"png"},
        .mimeType = "image/png",
        .decoder = PhotoDecoder::Qt,
        .encoder = PhotoEncoder::Qt,
        .deepestBits = 16,
        .largestSide = 0x7FFFFFFF,
        .metadata = MetadataKind::Chunks,
        .desktop = true,
    },
    {
        .name = "BMP",
        .signatures = {"BM"},
        .extensions = {"bmp"},
        .mimeType = "image/bmp",
        .decoder = PhotoDecoder::Qt,
        .encoder = PhotoEncoder::Qt,
        .largestSide = 0x7FFFFFFF,
    },
    {
        .name = "TIFF",
        .signatures = {std::string_view("II*\0", 4), std::string_view("MM\0*", 4),
                       std::string_view("II+\0", 4), std::string_view("MM\0+", 4)},
        .extensions = {"tif", "tiff"},
        .mimeType = "image/tiff",
        .decoder = PhotoDecoder::Tiff,
        .encoder = PhotoEncoder::Tiff,
        .deepestBits = 16,
        .largestSide = 0xFFFFFFFF,
        .metadata = MetadataKind::Tags,
        .windowLabel = "tiffファイル",
        .desktop = true,
    },
    {
        .name = "GIF",
        .signatures = {"GIF87a", "GIF89a"},
        .extensions = {"gif"},
        .mimeType = "image/gif",
        .decoder = PhotoDecoder::Qt,
        .largestSide = 0xFFFF,
    },
    {
        .name = "WebP",
        .signatures = {"RIFF????WEBP"},
        .extensions = {"webp"},
        .mimeType = "image/webp",
        .decoder = PhotoDecoder::Qt,
        .largestSide = 16383,
    },
};

// The format whose signature the bytes (a file's first size bytes) start with; null for none.
const PhotoFormat* PhotoFormatOfContent(const uint8_t* bytes, size_t size);

// The same for the file open as fd, read from its start; null for none or a file not readable.
const PhotoFormat* PhotoFormatOfFile(int fd);

// The format written for path's extension, in any case; null when it names none.
const PhotoFormat* WrittenPhotoFormat(const char* path);

// The extensions of the formats written, in the table's order, each after prefix: all of them,
// or each format's first only.
std::vector<std::string> WrittenExtensions(bool all, std::string_view prefix = "");

// The names of the formats that keep takes, in the table's order.
template <typename Keep>
std::vector<std::string> PhotoFormatNames(Keep keep) {
    std::vector<std::string> names;
    for (const PhotoFormat& format : kPhotoFormats)
        if (keep(format)) names.emplace_back(format.name);
    return names;
}

// words joined by separator, the last two by last: "jpg, png or tif".
std::string JoinWords(const std::vector<std::string>& words, std::string_view separator,
                      std::string_view last);

// Characters GetExtension may write, the terminating zero included.
inline constexpr size_t kExtensionBufferSize = 264;

// Writes into extension (kExtensionBufferSize bytes; may be null) the characters after the
// last "." of the whole path, or "" when there is none. A dot in a folder name counts when the
// file name has none. Longer extensions are cut to fit. Returns 0 only when path is null.
int GetExtension(const char* path, char* extension);
