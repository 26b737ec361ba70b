#include "imageio/tiff/TiffDirectory.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace tiff_format;

namespace {

constexpr uint32_t kHeaderSize = 8;
constexpr uint32_t kEntrySize = 12;

int IsByteOrderMark(const uint8_t* header) {
    return (header[0] == 0x49 && header[1] == 0x49) || (header[0] == 0x4D && header[1] == 0x4D);
}

// One zero-filled block for the record and the file's bytes, so that a single free releases both.
TiffFile* AllocTiffFile(uint32_t size) {
    void* block = std::calloc(1, sizeof(TiffFile) + size);
    if (!block) return nullptr;
    TiffFile* file = static_cast<TiffFile*>(block);
    file->size = size;
    file->bytes = reinterpret_cast<uint8_t*>(file + 1);
    return file;
}

void ParseTiffHeader(TiffFile* file) {
    file->byteOrder = static_cast<uint16_t>(file->bytes[0] << 8 | file->bytes[1]);
    file->version = Load16(file->bytes + 2, file->byteOrder);
    file->ifdOffset = Load32(file->bytes + 4, file->byteOrder);
}

// Reads the first size bytes of the file, retrying after interruptions and partial reads.
int ReadFully(int fd, uint8_t* destination, uint64_t size, PhotoError* error) {
    uint64_t done = 0;
    while (done < size) {
        const uint64_t left = size - done;
        const size_t chunk = left > (1u << 30) ? (1u << 30) : static_cast<size_t>(left);
        const ssize_t got = pread(fd, destination + done, chunk, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            SetErrnoError(error, errno);
            return 0;
        }
        if (got == 0) {
            SetPhotoError(error, PhotoFailure::NotAPhoto, "the file ended while it was read");
            return 0;
        }
        done += static_cast<uint64_t>(got);
    }
    return 1;
}

// What the first directory declares, read before the whole file is.
struct TiffDeclaredSize {
    uint32_t width;
    uint32_t height;
    bool turned;  // an Orientation other than upright: a second buffer is needed
};

// The layout of a classic TIFF's directory (42 in the header) and of a BigTIFF's (43), whose
// offsets and counts are 64-bit.
struct DirectoryLayout {
    uint32_t countBytes;  // of the entry count before the entries
    uint32_t entryBytes;
    uint32_t valueAt;  // where in an entry its value, or the offset of its values, lies
};
constexpr DirectoryLayout kClassic{2, kEntrySize, 8};
constexpr DirectoryLayout kBig{8, 20, 12};

uint64_t Load64(const uint8_t* p, uint16_t byteOrder) {
    const uint64_t first = Load32(p, byteOrder), second = Load32(p + 4, byteOrder);
    return byteOrder == kTiffBigEndian ? first << 32 | second : second << 32 | first;
}

// Reads only the header and the first directory, of a classic TIFF or a BigTIFF: the declared
// size, so that a picture that can never be held is refused before the file is read whole. 0 when
// no size can be read from it.
int ReadTiffDeclaredSize(int fd, uint64_t size, TiffDeclaredSize* declared) {
    uint8_t header[16];
    if (size < kHeaderSize || pread(fd, header, kHeaderSize, 0) != kHeaderSize ||
        !IsByteOrderMark(header)) {
        return 0;
    }
    const uint16_t order = static_cast<uint16_t>(header[0] << 8 | header[1]);
    const bool big = Load16(header + 2, order) == 43;
    // A BigTIFF's header goes on with 8 (the size of its offsets), 0 and the directory's offset.
    if (big && (size < sizeof header || pread(fd, header + 8, 8, 8) != 8 ||
                Load16(header + 4, order) != 8 || Load16(header + 6, order) != 0)) {
        return 0;
    }
    const DirectoryLayout& layout = big ? kBig : kClassic;
    const uint64_t offset = big ? Load64(header + 8, order) : Load32(header + 4, order);
    uint8_t countBytes[8];
    if (offset > size || size - offset < layout.countBytes ||
        pread(fd, countBytes, layout.countBytes, static_cast<off_t>(offset)) !=
            static_cast<ssize_t>(layout.countBytes)) {
        return 0;
    }
    const uint64_t count = big ? Load64(countBytes, order) : Load16(countBytes, order);
    // No directory has more entries than a classic one can hold, nor more than the file.
    if (count > UINT16_MAX || count * layout.entryBytes > size - offset - layout.countBytes)
        return 0;
    std::vector<uint8_t> entries(count * layout.entryBytes);
    if (pread(fd, entries.data(), entries.size(), static_cast<off_t>(offset + layout.countBytes)) !=
        static_cast<ssize_t>(entries.size())) {
        return 0;
    }
    uint32_t width = 0, height = 0;
    uint16_t orientation = 1;
    for (uint64_t i = 0; i < count; ++i) {
        const uint8_t* entry = entries.data() + i * layout.entryBytes;
        const uint16_t tag = Load16(entry, order);
        const uint16_t type = Load16(entry + 2, order);
        const uint64_t values = big ? Load64(entry + 4, order) : Load32(entry + 4, order);
        if (values != 1) continue;
        const uint8_t* value = entry + layout.valueAt;
        const uint32_t number = type == kTypeShort  ? Load16(value, order)
                                : type == kTypeLong ? Load32(value, order)
                                                    : 0;
        if (tag == kTagImageWidth && width == 0) width = number;
        if (tag == kTagImageLength && height == 0) height = number;
        if (tag == kTagOrientation && type == kTypeShort)
            orientation = static_cast<uint16_t>(number);
    }
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return 0;
    declared->width = width;
    declared->height = height;
    declared->turned = orientation >= 2 && orientation <= 8;
    return 1;
}

}  // namespace

TiffFile* MakeTiffFile(const uint8_t* data, size_t size) {
    if (!data || size < kHeaderSize || size > UINT32_MAX || !IsByteOrderMark(data)) return nullptr;
    TiffFile* file = AllocTiffFile(static_cast<uint32_t>(size));
    if (!file) return nullptr;
    std::memcpy(file->bytes, data, size);
    ParseTiffHeader(file);
    return file;
}

TiffFile* ReadTiffFile(int fd, uint64_t size, PhotoError* error) {
    uint8_t header[kHeaderSize];
    if (size > UINT32_MAX) {
        SetPhotoError(error, PhotoFailure::NotAPhoto,
                      "a TIFF file of " + Megabytes(size) + ", above the 4 GB that can be read");
        return nullptr;
    }
    if (size < kHeaderSize || pread(fd, header, kHeaderSize, 0) != kHeaderSize ||
        !IsByteOrderMark(header)) {
        SetPhotoError(error, PhotoFailure::NotAPhoto, "not a TIFF file the own reader takes");
        return nullptr;
    }
    TiffFile* file = AllocTiffFile(static_cast<uint32_t>(size));
    if (!file) {
        SetPhotoError(error, PhotoFailure::NotEnoughMemory, "not enough memory to read the file");
        return nullptr;
    }
    if (!ReadFully(fd, file->bytes, size, error)) {
        FreeTiffFile(file);
        return nullptr;
    }
    ParseTiffHeader(file);
    return file;
}

void FreeTiffFile(TiffFile* file) {
    std::free(file);
}

int OpenTiffIfd(const TiffFile* file, TiffIfd* ifd) {
    if (!file || !ifd || file->version != 42 || !file->ifdOffset ||
        uint64_t{file->ifdOffset} + 2 > file->size)
        return 0;
    const uint16_t count = Load16(file->bytes + file->ifdOffset, file->byteOrder);
    const uint32_t firstEntry = file->ifdOffset + 2;
    if (uint64_t{firstEntry} + uint64_t{kEntrySize} * count > file->size) return 0;
    ifd->entryCount = count;
    ifd->byteOrder = file->byteOrder;
    ifd->bytes = file->bytes;
    ifd->size = file->size;
    ifd->firstEntry = firstEntry;
    return 1;
}

int FindTiffTag(const TiffIfd* ifd, uint16_t tag, TiffEntry* entry) {
    for (uint32_t i = 0; i < ifd->entryCount; ++i) {
        const uint32_t offset = ifd->firstEntry + kEntrySize * i;
        const uint8_t* p = ifd->bytes + offset;
        if (Load16(p, ifd->byteOrder) != tag) continue;
        entry->tag = tag;
        entry->type = Load16(p + 2, ifd->byteOrder);
        entry->count = Load32(p + 4, ifd->byteOrder);
        const uint32_t size = GetTiffTypeSize(entry->type);
        if (entry->count == 1 && size == 1) {
            entry->value = p[8];
        } else if (entry->count == 1 && size == 2) {
            entry->value = Load16(p + 8, ifd->byteOrder);
        } else {
            entry->value = Load32(p + 8, ifd->byteOrder);
        }
        entry->entryOffset = offset;
        return 1;
    }
    return 0;
}

uint32_t GetTiffTypeSize(uint16_t type) {
    static const uint8_t kSizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type < 13 ? kSizes[type] : 0;
}

uint32_t GetTiffValueOffset(const TiffIfd* ifd, const TiffEntry* entry, uint32_t i) {
    const uint64_t size = GetTiffTypeSize(entry->type);
    if (!size || i >= entry->count) return 0;
    uint64_t offset;
    if (size * entry->count <= 4) {
        offset = uint64_t{entry->entryOffset} + 8 + size * i;
    } else {
        offset = uint64_t{entry->value} + size * i;
    }
    if (!offset || offset + size > ifd->size) return 0;
    return static_cast<uint32_t>(offset);
}

uint16_t ReadTiffShort(const TiffIfd* ifd, uint32_t offset) {
    if (uint64_t{offset} + 2 > ifd->size) return 0;
    return Load16(ifd->bytes + offset, ifd->byteOrder);
}

uint32_t ReadTiffLong(const TiffIfd* ifd, uint32_t offset) {
    if (uint64_t{offset} + 4 > ifd->size) return 0;
    return Load32(ifd->bytes + offset, ifd->byteOrder);
}

void ReadTiffRational(const TiffIfd* ifd, uint32_t offset, uint32_t* numerator,
                      uint32_t* denominator) {
    const int inside = uint64_t{offset} + 8 <= ifd->size;
    if (numerator) *numerator = inside ? ReadTiffLong(ifd, offset) : 0;
    if (denominator) *denominator = inside ? ReadTiffLong(ifd, offset + 4) : 0;
}

int GetTiffShortTag(const TiffIfd* ifd, uint16_t tag, uint16_t* value) {
    TiffEntry entry;
    if (!FindTiffTag(ifd, tag, &entry)) return 0;
    const uint32_t offset = GetTiffValueOffset(ifd, &entry, 0);
    if (!offset || entry.type != kTypeShort) return 0;
    if (value) *value = ReadTiffShort(ifd, offset);
    return 1;
}

int GetTiffShortOrLongTag(const TiffIfd* ifd, uint16_t tag, uint32_t* value) {
    TiffEntry entry;
    if (!FindTiffTag(ifd, tag, &entry)) return 0;
    const uint32_t offset = GetTiffValueOffset(ifd, &entry, 0);
    if (!offset) return 0;
    uint32_t read;
    if (entry.type == kTypeShort) {
        read = ReadTiffShort(ifd, offset);
    } else if (entry.type == kTypeLong) {
        read = ReadTiffLong(ifd, offset);
    } else {
        return 0;
    }
    if (value) *value = read;
    return 1;
}

int GetTiffRationalTag(const TiffIfd* ifd, uint16_t tag, uint32_t* numerator,
                       uint32_t* denominator) {
    TiffEntry entry;
    if (!FindTiffTag(ifd, tag, &entry)) return 0;
    const uint32_t offset = GetTiffValueOffset(ifd, &entry, 0);
    if (!offset || entry.type != kTypeRational) return 0;
    ReadTiffRational(ifd, offset, numerator, denominator);
    return 1;
}

int ReadTiffImageInfo(const TiffIfd* ifd, TiffImageInfo* info) {
    if (!ifd || !info) return 0;
    *info = TiffImageInfo{};
    info->ifd = ifd;
    if (!GetTiffShortTag(ifd, kTagPhotometric, &info->photometric) ||
        !GetTiffShortTag(ifd, kTagCompression, &info->compression) ||
        !GetTiffShortOrLongTag(ifd, kTagImageLength, &info->imageLength) ||
        !GetTiffShortOrLongTag(ifd, kTagImageWidth, &info->imageWidth)) {
        return 0;
    }

    // A resolution unit must come with both resolutions; their values are not needed.
    uint16_t resolutionUnit;
    uint32_t numerator, denominator;
    if (GetTiffShortTag(ifd, kTagResolutionUnit, &resolutionUnit) && resolutionUnit != 1 &&
        (!GetTiffRationalTag(ifd, kTagXResolution, &numerator, &denominator) ||
         !GetTiffRationalTag(ifd, kTagYResolution, &numerator, &denominator))) {
        return 0;
    }

    if (!GetTiffShortOrLongTag(ifd, kTagRowsPerStrip, &info->rowsPerStrip) ||
        !FindTiffTag(ifd, kTagStripOffsets, &info->stripOffsets) ||
        !FindTiffTag(ifd, kTagStripByteCounts, &info->stripByteCounts) ||
        info->stripOffsets.count != info->stripByteCounts.count) {
        return 0;
    }

    if (info->photometric > kPalette) return 0;
    if (info->photometric == kRgb) {
        TiffEntry bits;
        if (!FindTiffTag(ifd, kTagBitsPerSample, &bits) || bits.count < 3) return 0;
        for (uint32_t i = 0; i < 3; ++i) {
            const uint32_t offset = GetTiffValueOffset(ifd, &bits, i);
            if (!offset) return 0;
            info->rgbBitsPerSample[i] = ReadTiffShort(ifd, offset);
        }
        const uint16_t* b = info->rgbBitsPerSample;
        if ((b[0] != 8 && b[0] != 16) || b[1] != b[0] || b[2] != b[0]) return 0;
        if (!GetTiffShortTag(ifd, kTagSamplesPerPixel, &info->samplesPerPixel)) return 0;
    } else if (info->photometric != kPalette) {
        if (!GetTiffShortTag(ifd, kTagBitsPerSample, &info->greyBitsPerSample)) {
            info->greyBitsPerSample = 1;
        }
        const uint16_t bits = info->greyBitsPerSample;
        if (bits != 1 && bits != 4 && bits != 8 && bits != 16) return 0;
    }
    return 1;
}

namespace {

// Builds the classic copy of a BigTIFF's directories that ClassicTiffOfBigTiff returns, in the
// source's byte order.
class ClassicCopy {
  public:
    ClassicCopy(const uint8_t* data, size_t size, uint16_t order)
        : data_(data), size_(size), order_(order) {}

    std::vector<uint8_t> Make() {
        Put(order_, 2);
        Put(42, 2);
        Put(0, 4);
        PutAt(4, Directory(Load64(data_ + 8, order_), 0), 4);
        if (failed_) out_.clear();
        return std::move(out_);
    }

  private:
    static constexpr uint16_t kTypeIfd = 13, kTypeLong8 = 16, kTypeIfd8 = 18;

    static bool PointsToDirectory(uint16_t tag) {
        return tag == 34665 || tag == 34853 || tag == 40965;  // EXIF, GPS, interoperability
    }
    static bool IsOffset(uint16_t type) {
        return type == kTypeLong || type == kTypeIfd || type == kTypeLong8 || type == kTypeIfd8;
    }

    // Appends the directory at offset and the directories it points to; its new offset.
    uint32_t Directory(uint64_t offset, int depth) {
        if (depth > 2 || offset > size_ || size_ - offset < 8) {
            failed_ = true;
            return 0;
        }
        const uint64_t count = Load64(data_ + offset, order_);
        if (count > UINT16_MAX || count * kBig.entryBytes > size_ - offset - 8) {
            failed_ = true;
            return 0;
        }
        std::vector<const uint8_t*> kept;
        for (uint64_t i = 0; i < count; ++i) {
            const uint8_t* entry = data_ + offset + 8 + i * kBig.entryBytes;
            if (Kept(entry)) kept.push_back(entry);
        }
        Align();
        const auto at = static_cast<uint32_t>(out_.size());
        Put(kept.size(), 2);
        const size_t table = out_.size();
        out_.resize(table + kept.size() * kEntrySize + 4);  // no next directory
        for (size_t i = 0; i < kept.size() && !failed_; ++i)
            Entry(kept[i], table + i * kEntrySize, depth);
        return at;
    }

    // Every field but those that locate pixel data or thumbnails, and values that need 64 bits.
    bool Kept(const uint8_t* entry) const {
        const uint16_t tag = Load16(entry, order_), type = Load16(entry + 2, order_);
        const uint64_t count = Load64(entry + 4, order_);
        if (tag == kTagStripOffsets || tag == kTagStripByteCounts || tag == 324 || tag == 325 ||
            tag == 330) {
            return false;
        }
        if (PointsToDirectory(tag)) return count == 1 && IsOffset(type);
        if (type == kTypeLong8 || type == kTypeIfd8)
            return count == 1 && Load64(entry + 12, order_) <= UINT32_MAX;
        const uint64_t bytes = count * GetTiffTypeSize(type);
        if (GetTiffTypeSize(type) == 0 || count > UINT32_MAX) return false;
        // Values of more than 8 bytes lie elsewhere in the file, which must hold them.
        const uint64_t offset = Load64(entry + 12, order_);
        return bytes <= 8 || (offset <= size_ && bytes <= size_ - offset);
    }

    void Entry(const uint8_t* entry, size_t at, int depth) {
        const uint16_t tag = Load16(entry, order_), type = Load16(entry + 2, order_);
        const auto count = static_cast<uint32_t>(Load64(entry + 4, order_));
        PutAt(at, tag, 2);
        PutAt(at + 4, count, 4);
        const bool wide = type == kTypeLong8 || type == kTypeIfd8;
        if (PointsToDirectory(tag) || wide) {
            const uint64_t value = wide ? Load64(entry + 12, order_) : Load32(entry + 12, order_);
            PutAt(at + 2, type == kTypeIfd || type == kTypeIfd8 ? kTypeIfd : uint16_t{kTypeLong},
                  2);
            PutAt(at + 8, PointsToDirectory(tag) ? Directory(value, depth + 1) : value, 4);
            return;
        }
        PutAt(at + 2, type, 2);
        const uint64_t bytes = uint64_t{count} * GetTiffTypeSize(type);
        const uint8_t* values = bytes <= 8 ? entry + 12 : data_ + Load64(entry + 12, order_);
        if (bytes <= 4) {
            std::memcpy(out_.data() + at + 8, values, bytes);
            return;
        }
        // Values shared by many fields would be copied for each: no more than the file again.
        if (out_.size() + bytes > size_ + UINT16_MAX) {
            failed_ = true;
            return;
        }
        Align();
        PutAt(at + 8, out_.size(), 4);
        out_.insert(out_.end(), values, values + bytes);
    }

    void Put(uint64_t value, int bytes) {
        out_.resize(out_.size() + static_cast<size_t>(bytes));
        PutAt(out_.size() - static_cast<size_t>(bytes), value, bytes);
    }
    void PutAt(size_t at, uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            const int shift = order_ == kTiffBigEndian ? 8 * (bytes - 1 - i) : 8 * i;
            out_[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> shift);
        }
    }
    void Align() {
        if (out_.size() % 2) out_.push_back(0);
    }

    const uint8_t* data_;
    size_t size_;
    uint16_t order_;
    std::vector<uint8_t> out_;
    bool failed_ = false;
};

}  // namespace

std::vector<uint8_t> ClassicTiffOfBigTiff(const uint8_t* data, size_t size) {
    if (data == nullptr || size < 16 || !IsByteOrderMark(data)) return {};
    const uint16_t order = static_cast<uint16_t>(data[0] << 8 | data[1]);
    if (Load16(data + 2, order) != 43 || Load16(data + 4, order) != 8) return {};
    return ClassicCopy(data, size, order).Make();
}

int CheckTiffDeclaredSize(int fd, uint64_t size, const PhotoLoadLimits& limits, PhotoError* error) {
    TiffDeclaredSize declared;
    if (!ReadTiffDeclaredSize(fd, size, &declared)) {
        SetPhotoError(error, PhotoFailure::NotAPhoto, "not a TIFF file whose size can be read");
        return 0;
    }
    // The whole file is held while it is decoded, and a turned picture a second time.
    const uint64_t pixels = uint64_t{declared.width} * declared.height;
    const uint64_t decoderBytes = size + (declared.turned ? pixels * 6 : 0);
    return CheckPhotoSize(declared.width, declared.height, decoderBytes, limits, error);
}
