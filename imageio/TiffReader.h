// The program's own reader for uncompressed TIFF files: grey (1, 4, 8, 16 bits, BlackIsZero or
// WhiteIsZero) and RGB (8 or 16 bits per channel) in strips, either byte order, first image only.
// It decodes straight into a PT_HSV16 buffer so that 16-bit samples keep their full precision.
// Everything outside that subset is refused (0) so that the general decoder can take the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "imageio/PhotoFile.h"

class CImgBuff;
class C_ImgBuff;

// Byte-order marks as they read from the first two bytes of the file.
constexpr uint16_t kTiffLittleEndian = 0x4949;  // "II"
constexpr uint16_t kTiffBigEndian = 0x4D4D;     // "MM"

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
    uint16_t resolutionUnit;
    uint32_t xResolution[2];  // numerator, denominator
    uint32_t yResolution[2];
    uint32_t rowsPerStrip;
    TiffEntry stripOffsets;
    TiffEntry stripByteCounts;
    uint16_t greyBitsPerSample;
    uint16_t rgbBitsPerSample[3];
    uint16_t samplesPerPixel;
    const TiffIfd* ifd;  // the directory the fields came from; pixel fetches read through it
};

// Loads the first image of the TIFF file at path (bytes as the file system holds them) into target
// as PT_HSV16, turned upright as its Orientation tag says. Returns 1 when loaded, 0 when refused or
// failed; on 0 the target is left as it was, or empty when only the buffer could not be made.
int LoadTiff(const char* path, CImgBuff* target);

// Decodes an already read file into target, as LoadTiff does after reading it. error's failure is
// NotAPhoto when the file is outside what the own reader takes (another decoder may take it).
// When loaded, bitsPerChannel (if not null) receives 16 for 16-bit samples and 8 for all others.
int LoadTiffFile(const TiffFile* file, CImgBuff* target, PhotoError* error = nullptr,
                 int* bitsPerChannel = nullptr);

// Reads only the header and the first directory of fd (a regular file of size bytes) and checks
// the size they declare against limits and the memory available, so that a picture that can never
// be held is refused before the file is read whole. Returns 1, or 0 with error (NotAPhoto when no
// size can be read).
int CheckTiffDeclaredSize(int fd, uint64_t size, const PhotoLoadLimits& limits, PhotoError* error);

// Turns a PT_HSV16 image decoded in stored order upright as the Orientation value says (1..8,
// anything else counts as 1). Returns 0, with image as it was, when memory runs short.
int TurnTiffUpright(C_ImgBuff* image, uint16_t orientation);

// Reads the whole of fd (size bytes) into a new record; null when it cannot be read, is shorter
// than 8 bytes, is too large for 32-bit offsets or has no byte-order mark.
TiffFile* ReadTiffFile(int fd, uint64_t size, PhotoError* error);
// A new record holding a copy of size bytes at data, under the same rules as ReadTiffFile.
TiffFile* MakeTiffFile(const uint8_t* data, size_t size);
void FreeTiffFile(TiffFile* file);

// Opens the first directory of file; 0 when its offset is 0 or its entries run past the file's end.
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

// The three channels of pixel (x, y): grey images give the same value three times. The 16-bit form
// serves images of 16 bits per sample, the 8-bit form all others. 0 when the pixel cannot be
// addressed (outside the image, its strip missing, its bytes outside the file, wrong form).
int GetTiffPixel8(const TiffImageInfo* info, uint32_t x, uint32_t y, uint8_t* r, uint8_t* g,
                  uint8_t* b);
int GetTiffPixel16(const TiffImageInfo* info, uint32_t x, uint32_t y, uint16_t* r, uint16_t* g,
                   uint16_t* b);
