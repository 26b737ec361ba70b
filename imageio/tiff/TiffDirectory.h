// The directory of a TIFF file as the program's own reader sees it: the file's header and bytes,
// its first image file directory, the fields of its entries and the image fields the reader
// needs. Every read is checked against the file's end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "image/PixelSamples.h"
#include "imageio/PhotoFile.h"

// Byte-order marks as they read from the first two bytes of the file.
constexpr uint16_t kTiffLittleEndian = 0x4949;  // "II"
constexpr uint16_t kTiffBigEndian = 0x4D4D;     // "MM"

// Tag numbers, field types and photometric interpretations the reader looks at.
namespace tiff_format {

enum : uint16_t {
    kTagImageWidth = 256,
    kTagImageLength = 257,
    kTagBitsPerSample = 258,
    kTagCompression = 259,
    kTagPhotometric = 262,
    kTagFillOrder = 266,
    kTagOrientation = 274,
    kTagStripOffsets = 273,
    kTagSamplesPerPixel = 277,
    kTagRowsPerStrip = 278,
    kTagStripByteCounts = 279,
    kTagXResolution = 282,
    kTagYResolution = 283,
    kTagPlanarConfiguration = 284,
    kTagResolutionUnit = 296,
    kTagSampleFormat = 339,
};

enum : uint16_t { kTypeShort = 3, kTypeLong = 4, kTypeRational = 5 };

enum : uint16_t { kWhiteIsZero = 0, kBlackIsZero = 1, kRgb = 2, kPalette = 3 };

// 16 and 32-bit values at p in the file's byte order.
inline uint16_t Load16(const uint8_t* p, uint16_t byteOrder) {
    if (byteOrder == kTiffBigEndian) return static_cast<uint16_t>(p[0] << 8 | p[1]);
    return pixel_samples::Load16(p);
}

inline uint32_t Load32(const uint8_t* p, uint16_t byteOrder) {
    if (byteOrder == kTiffBigEndian) {
        return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    }
    return pixel_samples::Load32(p);
}

}  // namespace tiff_format

// The header of a file and its whole content, in one block with the record. Offsets count from
// the start of the file; the reader accepts only files whose size fits in 32 bits.
struct TiffFile {
    uint16_t byteOrder;
    uint16_t version;
    uint32_t ifdOffset;
    uint32_t size;   // bytes in `bytes`
    uint8_t* bytes;  // points just behind the record, inside the same block
};

// The first image file directory of a file.
struct TiffIfd {
    uint16_t entryCount;
    uint16_t byteOrder;
    const uint8_t* bytes;
    uint32_t size;
    uint32_t firstEntry;  // file offset of entry 0 (directory offset + 2)
};

struct TiffEntry {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    // For one value of at most 4 bytes the value itself, read in the file's byte order;
    // otherwise the raw field, which then holds the offset of the values.
    uint32_t value;
    uint32_t entryOffset;  // file offset of the entry, to address values stored inside it
};

struct TiffImageInfo {
    uint16_t photometric;
    uint16_t compression;
    uint32_t imageLength;
    uint32_t imageWidth;
    uint32_t rowsPerStrip;
    TiffEntry stripOffsets;
    TiffEntry stripByteCounts;
    uint16_t greyBitsPerSample;
    uint16_t rgbBitsPerSample[3];
    uint16_t samplesPerPixel;
    const TiffIfd* ifd;  // the directory the fields came from; pixel fetches read through it
};

// Reads only the header and the first directory of fd (a regular file of size bytes, a classic TIFF
// or a BigTIFF) and checks the size they declare against limits and the memory available, so that
// a picture that can never be held is refused before the file is read whole. Returns 1, or 0 with
// error (NotAPhoto when no size can be read).
int CheckTiffDeclaredSize(int fd, uint64_t size, const PhotoLoadLimits& limits, PhotoError* error);

// A classic TIFF of the first directory of the BigTIFF held in data, and of the EXIF, GPS and
// interoperability directories it leads to, without pixels: Exiv2 reads metadata from classic
// TIFF only. Fields that locate pixel data or thumbnails, and values that need 64 bits, are left
// out. Empty when data holds no BigTIFF or its directories cannot be read.
std::vector<uint8_t> ClassicTiffOfBigTiff(const uint8_t* data, size_t size);

// Reads the whole of fd (size bytes) into a new record; null when it cannot be read, is shorter
// than 8 bytes, is too large for 32-bit offsets or has no byte-order mark.
TiffFile* ReadTiffFile(int fd, uint64_t size, PhotoError* error);
// A new record holding a copy of size bytes at data, under the same rules as ReadTiffFile.
TiffFile* MakeTiffFile(const uint8_t* data, size_t size);
void FreeTiffFile(TiffFile* file);

// Opens the first directory of file; 0 when the file is no classic TIFF (a BigTIFF's directory is
// laid out otherwise), or the directory's offset is 0 or its entries run past the file's end.
int OpenTiffIfd(const TiffFile* file, TiffIfd* ifd);

// Fills entry from the first entry of ifd, in file order, whose tag matches; 0 when none does.
int FindTiffTag(const TiffIfd* ifd, uint16_t tag, TiffEntry* entry);

// Element size in bytes of a field type, 0 for a type outside the TIFF 6.0 table.
uint32_t GetTiffTypeSize(uint16_t type);
// File offset of value i of entry; 0 when i is not below the count, the type is unknown, or the
// value does not lie within the file.
uint32_t GetTiffValueOffset(const TiffIfd* ifd, const TiffEntry* entry, uint32_t i);

// Values at a file offset in the file's byte order; 0 (or 0/0) when they lie outside the file.
uint16_t ReadTiffShort(const TiffIfd* ifd, uint32_t offset);
uint32_t ReadTiffLong(const TiffIfd* ifd, uint32_t offset);
void ReadTiffRational(const TiffIfd* ifd, uint32_t offset, uint32_t* numerator,
                      uint32_t* denominator);

// The first value of a tag. Each fails (0) when the tag is missing, its first value has no
// offset, or its type is not the one accepted.
int GetTiffShortTag(const TiffIfd* ifd, uint16_t tag, uint16_t* value);
// Accepts SHORT (widened) or LONG.
int GetTiffShortOrLongTag(const TiffIfd* ifd, uint16_t tag, uint32_t* value);
int GetTiffRationalTag(const TiffIfd* ifd, uint16_t tag, uint32_t* numerator,
                       uint32_t* denominator);

// Fills info from ifd; 1 when every field the image's kind needs is present and acceptable.
int ReadTiffImageInfo(const TiffIfd* ifd, TiffImageInfo* info);
