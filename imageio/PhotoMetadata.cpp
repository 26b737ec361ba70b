#include "imageio/PhotoMetadata.h"

#include <unistd.h>

#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <string_view>

// Exiv2 0.27 hands out std::auto_ptr, which the standard has since deprecated.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <zlib.h>
#include <exiv2/exiv2.hpp>

#include "imageio/PhotoFormats.h"

struct PhotoMetadataBlocks {
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
    Exiv2::IptcData iptc;
    // An XMP packet Exiv2 could not parse (duplicate properties, say), carried over as its bytes.
    std::string rawXmp;
    // The Photoshop image resources (IPTC among them) but the thumbnails, as the file held them.
    std::string imageResources;
};

namespace {

// Guards Exiv2's XMP toolkit, which is not safe to use from two threads at once: several photos
// are read and saved at the same time.
void LockXmpToolkit(void* data, bool lock) {
    auto* mutex = static_cast<std::mutex*>(data);
    if (lock) {
        mutex->lock();
    } else {
        mutex->unlock();
    }
}

// Exiv2 prints warnings about odd files by default, and its XMP toolkit must be set up once
// before any thread uses it.
void PrepareExiv2() {
    static std::once_flag once;
    static std::mutex xmpToolkit;
    std::call_once(once, [] {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::XmpParser::initialize(LockXmpToolkit, &xmpToolkit);
    });
}

// Fields of the first directory that describe the source file's own pixel layout, or that
// carry the XMP, IPTC and colour profile blocks handled on their own; the saved file has its own.
constexpr std::array<uint16_t, 39> kLayoutTags = {
    254, 255, 256, 257, 258, 259, 262, 263, 266, 273, 277,   278,   279,
    280, 281, 284, 317, 320, 322, 323, 324, 325, 330, 332,   338,   339,
    340, 341, 347, 512, 513, 514, 529, 530, 532, 700, 33723, 34377, 34675,
};

bool IsCarried(const Exiv2::Exifdatum& datum) {
    const std::string group = datum.groupName();
    if (group == "Image") {
        for (uint16_t tag : kLayoutTags) {
            if (datum.tag() == tag) return false;
        }
        return true;
    }
    // The thumbnail and the directories of further images (sub-images, pages) describe
    // pictures the saved file does not hold.
    const std::string_view name(group);
    return name != "Thumbnail" && !name.starts_with("SubImage") && !name.starts_with("SubThumb") &&
           !name.starts_with("Image");
}

// Changes a field only when the source had it: absent fields keep meaning what they meant.
template <typename Data, typename Key, typename Value>
void UpdateIfPresent(Data& data, const char* key, const Value& value) {
    auto found = data.findKey(Key(key));
    if (found != data.end()) *found = value;
}

// Replaces the text between every open and the close after it in packet by value.
void ReplaceBetween(std::string& packet, const std::string& open, const std::string& close,
                    const std::string& value) {
    for (size_t at = packet.find(open); at != std::string::npos; at = packet.find(open, at)) {
        const size_t start = at + open.size();
        const size_t end = packet.find(close, start);
        if (end == std::string::npos) return;
        packet.replace(start, end - start, value);
        at = start + value.size() + close.size();
    }
}

// packet with the properties the saved picture changes, written as attributes or as elements,
// set as CopyMetadata sets them in parsed XMP: upright, and the new size.
std::string PatchedXmpPacket(std::string packet, int32_t width, int32_t height) {
    const std::pair<const char*, std::string> values[] = {
        {"tiff:Orientation", "1"},
        {"exif:PixelXDimension", std::to_string(width)},
        {"exif:PixelYDimension", std::to_string(height)},
        {"tiff:ImageWidth", std::to_string(width)},
        {"tiff:ImageLength", std::to_string(height)}};
    for (const auto& [name, value] : values) {
        const std::string n(name);
        ReplaceBetween(packet, n + "=\"", "\"", value);
        ReplaceBetween(packet, "<" + n + ">", "</" + n + ">", value);
    }
    return packet;
}

void CopyMetadata(const PhotoMetadataBlocks& from, int32_t width, int32_t height,
                  Exiv2::Image* image) {
    Exiv2::ExifData& exif = image->exifData();
    for (const Exiv2::Exifdatum& datum : from.exif) {
        if (IsCarried(datum)) exif[datum.key()].setValue(&datum.value());
    }
    using ExifKey = Exiv2::ExifKey;
    UpdateIfPresent<Exiv2::ExifData, ExifKey>(exif, "Exif.Image.Orientation", uint16_t{1});
    UpdateIfPresent<Exiv2::ExifData, ExifKey>(exif, "Exif.Photo.PixelXDimension",
                                              static_cast<uint32_t>(width));
    UpdateIfPresent<Exiv2::ExifData, ExifKey>(exif, "Exif.Photo.PixelYDimension",
                                              static_cast<uint32_t>(height));

    Exiv2::XmpData xmp = from.xmp;
    using XmpKey = Exiv2::XmpKey;
    UpdateIfPresent<Exiv2::XmpData, XmpKey>(xmp, "Xmp.tiff.Orientation", std::string("1"));
    UpdateIfPresent<Exiv2::XmpData, XmpKey>(xmp, "Xmp.exif.PixelXDimension", std::to_string(width));
    UpdateIfPresent<Exiv2::XmpData, XmpKey>(xmp, "Xmp.exif.PixelYDimension",
                                            std::to_string(height));
    UpdateIfPresent<Exiv2::XmpData, XmpKey>(xmp, "Xmp.tiff.ImageWidth", std::to_string(width));
    UpdateIfPresent<Exiv2::XmpData, XmpKey>(xmp, "Xmp.tiff.ImageLength", std::to_string(height));
    if (from.xmp.empty() && !from.rawXmp.empty()) {
        // Assigned, not set: Exiv2's setter parses the packet and refuses what it cannot parse.
        // TIFF takes it from the XMP data's own packet.
        const std::string packet = PatchedXmpPacket(from.rawXmp, width, height);
        image->xmpPacket() = packet;
        image->writeXmpFromPacket(true);
        image->xmpData().setPacket(packet);
        image->xmpData().usePacket(true);
    } else {
        image->setXmpData(xmp);
    }
    // A TIFF holds the resources and the IPTC in fields of their own. Exiv2 puts its IPTC into
    // both, but writes the IPTC field beside the resources only where the file had one.
    if (image->imageType() == Exiv2::ImageType::tiff) {
        const auto put = [&exif](const char* key, const Exiv2::byte* bytes, size_t size) {
            const Exiv2::DataValue value(bytes, static_cast<long>(size), Exiv2::invalidByteOrder,
                                         Exiv2::unsignedByte);
            if (size > 0) exif[key].setValue(&value);
        };
        put("Exif.Image.ImageResources",
            reinterpret_cast<const Exiv2::byte*>(from.imageResources.data()),
            from.imageResources.size());
        const Exiv2::DataBuf iptc = Exiv2::IptcParser::encode(from.iptc);
        put("Exif.Image.IPTCNAA", iptc.pData_, static_cast<size_t>(iptc.size_));
    }
    image->setIptcData(from.iptc);
}

// What begins a JPEG's APP13 segment of Photoshop image resources, its NUL included.
constexpr char kPhotoshopSegment[] = "Photoshop 3.0";

// jpeg, a JPEG file, with resources in APP13 "Photoshop 3.0" segments right after its start, as
// many as they fill. Exiv2 keeps such resources when it writes, its own IPTC in place of theirs.
QByteArray WithImageResources(const QByteArray& jpeg, const std::string& resources) {
    constexpr size_t kChunk = 0xFFFF - 2 - sizeof kPhotoshopSegment;
    QByteArray segments;
    for (size_t at = 0; at < resources.size(); at += kChunk) {
        const size_t size = std::min(kChunk, resources.size() - at);
        const size_t length = 2 + sizeof kPhotoshopSegment + size;
        segments += QByteArray("\xFF\xED", 2);
        segments += static_cast<char>(length >> 8);
        segments += static_cast<char>(length);
        segments += QByteArray(kPhotoshopSegment, sizeof kPhotoshopSegment);
        segments += QByteArray(resources.data() + at, static_cast<qsizetype>(size));
    }
    return jpeg.left(2) + segments + jpeg.mid(2);
}

void PutBigEndian32(uint32_t value, QByteArray* out) {
    for (int shift = 24; shift >= 0; shift -= 8) out->append(static_cast<char>(value >> shift));
}

// Puts a chunk of type (four letters) holding data right after the PNG file's header chunk, where
// the profile and the EXIF block must come (before the pixels). 0 when png has no header.
int InsertPngChunk(const char* type, const QByteArray& data, QByteArray* png) {
    constexpr int kHeaderEnd = 8 + 4 + 4 + 13 + 4;  // signature, IHDR length, type, data, CRC
    if (png->size() < kHeaderEnd || png->mid(12, 4) != "IHDR") return 0;
    const QByteArray body = QByteArray(type, 4) + data;
    QByteArray chunk;
    PutBigEndian32(static_cast<uint32_t>(data.size()), &chunk);
    chunk += body;
    PutBigEndian32(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.constData()),
                                               static_cast<uInt>(body.size()))),
                   &chunk);
    png->insert(kHeaderEnd, chunk);
    return 1;
}

// Puts a chunk of type holding name, compression method 0 and data compressed by zlib.
int InsertPngPackedChunk(const char* type, const QByteArray& name, const QByteArray& data,
                         QByteArray* png) {
    uLongf packedSize = compressBound(static_cast<uLong>(data.size()));
    QByteArray packed(static_cast<qsizetype>(packedSize), '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
                  reinterpret_cast<const Bytef*>(data.constData()), static_cast<uLong>(data.size()),
                  Z_BEST_COMPRESSION) != Z_OK) {
        return 0;
    }
    packed.truncate(static_cast<qsizetype>(packedSize));
    return InsertPngChunk(type, name + QByteArray(2, '\0') + packed, png);
}

// Exiv2 0.27 writes the profile chunk of a PNG with an empty name, which libpng rejects.
int InsertPngProfile(const QByteArray& profile, QByteArray* png) {
    return InsertPngPackedChunk("iCCP", "ICC profile", profile, png);
}

// The Photoshop resources with iptc as theirs, in the text chunk where Exiv2 itself puts a PNG's
// IPTC as resources, and where exiftool reads them too: their size and their bytes in
// hexadecimal, 36 bytes a line.
int InsertPngResources(const std::string& resources, const Exiv2::IptcData& iptc, QByteArray* png) {
    const Exiv2::DataBuf all =
        Exiv2::Photoshop::setIptcIrb(reinterpret_cast<const Exiv2::byte*>(resources.data()),
                                     static_cast<long>(resources.size()), iptc);
    const QByteArray hex = QByteArray(reinterpret_cast<const char*>(all.pData_), all.size_).toHex();
    QByteArray text =
        "\niptc\n" + QByteArray::number(static_cast<qlonglong>(all.size_)).rightJustified(8, ' ');
    for (qsizetype at = 0; at < hex.size(); at += 72) text += '\n' + hex.mid(at, 72);
    return InsertPngPackedChunk("zTXt", "Raw profile type iptc", text + '\n', png);
}

// The EXIF block in the standard eXIf chunk, which most readers of PNG look for.
int InsertPngExif(const Exiv2::ExifData& exif, QByteArray* png) {
    if (exif.empty()) return 1;
    Exiv2::Blob blob;
    Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
    return InsertPngChunk(
        "eXIf",
        QByteArray(reinterpret_cast<const char*>(blob.data()), static_cast<qsizetype>(blob.size())),
        png);
}

}  // namespace

namespace {

int DotsPerMeter(double value, int unit) {
    const double perMeter = unit == 2 ? value / 0.0254 : unit == 3 ? value * 100 : 0;
    return perMeter >= 1 && perMeter < 1e7 ? static_cast<int>(std::lround(perMeter)) : 0;
}

// The density of the EXIF resolution (per inch or per centimetre), when the file gives one.
void ReadExifDensity(const Exiv2::ExifData& exif, PhotoOrigin* origin) {
    const auto x = exif.findKey(Exiv2::ExifKey("Exif.Image.XResolution"));
    const auto y = exif.findKey(Exiv2::ExifKey("Exif.Image.YResolution"));
    if (x == exif.end() || y == exif.end()) return;
    const auto unit = exif.findKey(Exiv2::ExifKey("Exif.Image.ResolutionUnit"));
    const int per = unit == exif.end() ? 2 : static_cast<int>(unit->toLong());
    origin->dotsPerMeterX = DotsPerMeter(x->toFloat(), per);
    origin->dotsPerMeterY = DotsPerMeter(y->toFloat(), per);
}

// The density of a JPEG's JFIF header (APP0 right after the start): units 1 per inch, 2 per
// centimetre; 0 gives only the aspect ratio.
void ReadJfifDensity(const uint8_t* bytes, size_t size, PhotoOrigin* origin) {
    static const uint8_t kJfif[] = {0xFF, 0xD8, 0xFF, 0xE0};
    if (size < 18 || std::memcmp(bytes, kJfif, 4) != 0 || std::memcmp(bytes + 6, "JFIF", 5) != 0)
        return;
    const int unit = bytes[13] == 1 ? 2 : bytes[13] == 2 ? 3 : 0;
    origin->dotsPerMeterX = DotsPerMeter(bytes[14] << 8 | bytes[15], unit);
    origin->dotsPerMeterY = DotsPerMeter(bytes[16] << 8 | bytes[17], unit);
}

// Reads size bytes of the file at offset at into into; false when the file holds fewer.
using ReadFileAt = std::function<bool(uint64_t at, uint8_t* into, size_t size)>;

// The Photoshop image resources of a JPEG file: its APP13 "Photoshop 3.0" segments among the
// application segments and comments it starts with, joined. Empty for any other file.
std::string JpegImageResources(const ReadFileAt& read) {
    std::string resources;
    uint8_t head[4];
    if (!read(0, head, 2) || head[0] != 0xFF || head[1] != 0xD8) return resources;
    for (uint64_t at = 2; read(at, head, 4) && head[0] == 0xFF &&
                          ((head[1] >= 0xE0 && head[1] <= 0xEF) || head[1] == 0xFE);) {
        const size_t length = size_t{head[2]} << 8 | head[3];
        if (length < 2) break;
        if (head[1] == 0xED && length >= 2 + sizeof kPhotoshopSegment) {
            std::string payload(length - 2, '\0');
            if (!read(at + 4, reinterpret_cast<uint8_t*>(payload.data()), payload.size())) break;
            if (payload.compare(0, sizeof kPhotoshopSegment, kPhotoshopSegment,
                                sizeof kPhotoshopSegment) == 0) {
                resources.append(payload, sizeof kPhotoshopSegment);
            }
        }
        at += 2 + length;
    }
    return resources;
}

uint32_t BigEndianAt(const std::string& bytes, size_t at, int size) {
    uint32_t value = 0;
    for (int i = 0; i < size; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

// The resources but the thumbnails (1033, 1036), which show the source's pixels; a damaged
// resource ends them.
std::string WithoutThumbnails(const std::string& resources) {
    std::string kept;
    size_t at = 0;
    while (
        at + 12 <= resources.size() &&
        Exiv2::Photoshop::isIrb(reinterpret_cast<const Exiv2::byte*>(resources.data() + at), 4)) {
        // Signature, id, a Pascal name padded to even, then the size of the data padded to even.
        const uint32_t id = BigEndianAt(resources, at + 4, 2);
        const size_t sizeAt = at + 6 + ((static_cast<uint8_t>(resources[at + 6]) + 2) & ~1u);
        if (sizeAt + 4 > resources.size()) break;
        const size_t end = sizeAt + 4 + BigEndianAt(resources, sizeAt, 4);
        if (end > resources.size()) break;
        const size_t padded = std::min(end + (end - sizeAt) % 2, resources.size());
        if (id != 1033 && id != 1036) kept.append(resources, at, padded - at);
        at = padded;
    }
    return kept;
}

// The datasets of an IPTC block, each value its bytes as they are: Exiv2's own parser writes the
// dates and times it reads back in a form of its own.
Exiv2::IptcData IptcOf(const Exiv2::byte* data, size_t size) {
    Exiv2::IptcData iptc;
    size_t at = 0;
    while (at + 5 <= size) {
        if (data[at] != 0x1C) {  // skipped, as Exiv2 skips it
            ++at;
            continue;
        }
        const uint16_t record = data[at + 1], dataset = data[at + 2];
        size_t length = size_t{data[at + 3]} << 8 | data[at + 4];
        at += 5;
        if (length & 0x8000) {  // extended: the next (length & 0x7FFF) bytes give the length
            const size_t bytes = length & 0x7FFF;
            if (bytes > 4 || bytes > size - at) break;
            length = 0;
            for (size_t i = 0; i < bytes; ++i) length = length << 8 | data[at++];
        }
        if (length > size - at) break;
        Exiv2::DataValue value(data + at, static_cast<long>(length));
        iptc.add(Exiv2::IptcKey(dataset, record), &value);
        at += length;
    }
    return iptc;
}

// The image resources of image (a TIFF's own field, else resources read from a JPEG) and its IPTC
// datasets unchanged (a TIFF's IPTC field first, as Exiv2 reads them) into blocks.
void ReadImageResources(Exiv2::Image& image, std::string resources, PhotoMetadataBlocks* blocks) {
    const auto bytesOf = [&image](const Exiv2::Exifdatum& datum) {
        std::string bytes(datum.size(), '\0');
        datum.copy(reinterpret_cast<Exiv2::byte*>(bytes.data()), image.byteOrder());
        return bytes;
    };
    const Exiv2::ExifData& exif = image.exifData();
    const auto field = exif.findKey(Exiv2::ExifKey("Exif.Image.ImageResources"));
    if (field != exif.end()) resources = bytesOf(*field);
    std::string iptc;
    const auto iptcField = exif.findKey(Exiv2::ExifKey("Exif.Image.IPTCNAA"));
    const Exiv2::byte *record = nullptr, *data = reinterpret_cast<Exiv2::byte*>(resources.data());
    uint32_t header = 0, size = 0;
    if (iptcField != exif.end()) {
        iptc = bytesOf(*iptcField);
    } else if (Exiv2::Photoshop::locateIptcIrb(data, static_cast<long>(resources.size()), &record,
                                               &header, &size) == 0) {
        iptc.assign(reinterpret_cast<const char*>(record + header), size);
    }
    blocks->imageResources = WithoutThumbnails(resources);
    Exiv2::IptcData exact = IptcOf(reinterpret_cast<const Exiv2::byte*>(iptc.data()), iptc.size());
    if (!exact.empty()) blocks->iptc = std::move(exact);
}

// The blocks, profile and density of image into origin. Exiv2 reports damaged metadata by
// throwing; the photo itself may still be sound, so what cannot be read is left out.
template <typename Open>
void ReadMetadataOf(Open open, const ReadFileAt& read, PhotoOrigin* origin) {
    PrepareExiv2();
    try {
        Exiv2::Image::AutoPtr image = open();
        if (image.get() == nullptr) return;
        image->readMetadata();
        ReadExifDensity(image->exifData(), origin);
        auto blocks = std::make_shared<PhotoMetadataBlocks>();
        blocks->exif = image->exifData();
        blocks->xmp = image->xmpData();
        blocks->iptc = image->iptcData();
        if (blocks->xmp.empty()) blocks->rawXmp = image->xmpPacket();
        ReadImageResources(*image, JpegImageResources(read), blocks.get());
        if (!blocks->exif.empty() || !blocks->xmp.empty() || !blocks->iptc.empty() ||
            !blocks->rawXmp.empty() || !blocks->imageResources.empty()) {
            origin->metadata = std::move(blocks);
        }
        if (image->iccProfileDefined()) {
            const Exiv2::DataBuf* icc = image->iccProfile();
            origin->iccProfile = QByteArray(reinterpret_cast<const char*>(icc->pData_),
                                            static_cast<qsizetype>(icc->size_));
        }
    } catch (const std::exception&) {
    }
}

}  // namespace

void ReadPhotoMetadata(const uint8_t* data, size_t size, PhotoOrigin* origin) {
    if (data == nullptr || origin == nullptr || size > static_cast<size_t>(LONG_MAX)) return;
    ReadJfifDensity(data, size, origin);
    ReadMetadataOf([&] { return Exiv2::ImageFactory::open(data, static_cast<long>(size)); },
                   [&](uint64_t at, uint8_t* into, size_t n) {
                       if (at > size || n > size - at) return false;
                       std::memcpy(into, data + at, n);
                       return true;
                   },
                   origin);
}

void ReadPhotoMetadata(int fd, PhotoOrigin* origin) {
    if (fd < 0 || origin == nullptr) return;
    uint8_t start[18];
    const ssize_t got = pread(fd, start, sizeof start, 0);
    if (got > 0) ReadJfifDensity(start, static_cast<size_t>(got), origin);
    ReadMetadataOf(
        [fd] { return Exiv2::ImageFactory::open("/proc/self/fd/" + std::to_string(fd)); },
        [fd](uint64_t at, uint8_t* into, size_t n) {
            return pread(fd, into, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
        },
        origin);
}

int EmbedPhotoMetadata(const PhotoOrigin& origin, bool keepMetadata, int32_t width, int32_t height,
                       QByteArray* encoded, std::string* reason) {
    std::string ignored;
    if (reason == nullptr) reason = &ignored;
    const bool metadata = keepMetadata && origin.metadata != nullptr;
    if (encoded == nullptr || (!metadata && origin.iccProfile.isEmpty())) return 1;
    const PhotoFormat* format = PhotoFormatOfContent(
        reinterpret_cast<const uint8_t*>(encoded->constData()), size_t(encoded->size()));
    if (format == nullptr || format->metadata == MetadataKind::None) return 1;
    PrepareExiv2();
    try {
        const bool jpegResources =
            metadata && !origin.metadata->imageResources.empty() && encoded->startsWith("\xFF\xD8");
        const QByteArray source =
            jpegResources ? WithImageResources(*encoded, origin.metadata->imageResources)
                          : *encoded;
        Exiv2::Image::AutoPtr image =
            Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(source.constData()),
                                      static_cast<long>(source.size()));
        const int type = image.get() ? image->imageType() : Exiv2::ImageType::none;
        image->readMetadata();
        if (metadata) CopyMetadata(*origin.metadata, width, height, image.get());
        if (!origin.iccProfile.isEmpty() && type != Exiv2::ImageType::png) {
            Exiv2::DataBuf icc(reinterpret_cast<const Exiv2::byte*>(origin.iccProfile.constData()),
                               static_cast<long>(origin.iccProfile.size()));
            // Embedded unchanged, as the source held it, whether Exiv2 finds it credible or not.
            image->setIccProfile(icc, false);
        }
        // A PNG gets its EXIF block once, in the eXIf chunk, not in Exiv2's text chunk too.
        Exiv2::ExifData pngExif;
        const bool pngResources =
            type == Exiv2::ImageType::png && metadata && !origin.metadata->imageResources.empty();
        if (type == Exiv2::ImageType::png) {
            pngExif = image->exifData();
            image->clearExifData();
            // Nor its IPTC, when it comes with the resources.
            if (pngResources) image->clearIptcData();
        }
        image->writeMetadata();
        Exiv2::BasicIo& io = image->io();
        const long size = static_cast<long>(io.size());
        if (io.open() != 0 || io.seek(0, Exiv2::BasicIo::beg) != 0) {
            *reason = "could not add the metadata to the encoded file";
            return 0;
        }
        QByteArray result(size, Qt::Uninitialized);
        const long read = io.read(reinterpret_cast<Exiv2::byte*>(result.data()), size);
        io.close();
        if (read != size) {
            *reason = "could not add the metadata to the encoded file";
            return 0;
        }
        if (pngResources &&
            !InsertPngResources(origin.metadata->imageResources, origin.metadata->iptc, &result)) {
            *reason = "could not add the Photoshop resources to the PNG file";
            return 0;
        }
        if (type == Exiv2::ImageType::png && !origin.iccProfile.isEmpty() &&
            !InsertPngProfile(origin.iccProfile, &result)) {
            *reason = "could not add the colour profile to the PNG file";
            return 0;
        }
        if (type == Exiv2::ImageType::png && metadata && !InsertPngExif(pngExif, &result)) {
            *reason = "could not add the EXIF block to the PNG file";
            return 0;
        }
        *encoded = std::move(result);
        return 1;
    } catch (const std::exception& error) {
        *reason = std::string("could not add the metadata: ") + error.what();
        return 0;
    }
}
