#include "imageio/PhotoMetadata.h"

#include <unistd.h>

#include <QCryptographicHash>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string_view>
#include <vector>

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
        // The namespace a JPEG's standard XMP names its extended XMP in.
        Exiv2::XmpProperties::registerNs("http://ns.adobe.com/xmp/note/", "xmpNote");
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

// The source's EXIF fields the saved file keeps, set for a width x height upright picture. The
// sizes never change how long the EXIF block is.
Exiv2::ExifData CarriedExif(const PhotoMetadataBlocks& from, int32_t width, int32_t height) {
    Exiv2::ExifData exif;
    for (const Exiv2::Exifdatum& datum : from.exif) {
        if (IsCarried(datum)) exif[datum.key()].setValue(&datum.value());
    }
    using ExifKey = Exiv2::ExifKey;
    UpdateIfPresent<Exiv2::ExifData, ExifKey>(exif, "Exif.Image.Orientation", uint16_t{1});
    UpdateIfPresent<Exiv2::ExifData, ExifKey>(exif, "Exif.Photo.PixelXDimension",
                                              static_cast<uint32_t>(width));
    UpdateIfPresent<Exiv2::ExifData, ExifKey>(exif, "Exif.Photo.PixelYDimension",
                                              static_cast<uint32_t>(height));
    return exif;
}

void CopyMetadata(const PhotoMetadataBlocks& from, int32_t width, int32_t height,
                  Exiv2::Image* image) {
    Exiv2::ExifData& exif = image->exifData();
    for (const Exiv2::Exifdatum& datum : CarriedExif(from, width, height))
        exif[datum.key()].setValue(&datum.value());

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

// The most data a JPEG segment holds after its marker and length.
constexpr size_t kJpegSegmentData = 0xFFFF - 2;
// What begins a JPEG's APP13 segment of Photoshop image resources, its NUL included.
constexpr char kPhotoshopSegment[] = "Photoshop 3.0";
// An APP2 chunk of a colour profile: this, its NUL, the chunk's number from 1 and the count.
constexpr char kIccSegment[] = "ICC_PROFILE";
constexpr size_t kIccChunkHeader = sizeof kIccSegment + 2;
constexpr size_t kIccChunk = kJpegSegmentData - kIccChunkHeader;
constexpr size_t kMaxIccChunks = 255;
// The APP1 segment of EXIF ("Exif" and two NULs, then the block), the standard XMP packet, and
// the extended XMP a standard packet too large is split into: after this and its NUL, the MD5 of
// the whole extended packet in 32 hexadecimal digits, its size and the chunk's offset in it.
constexpr size_t kMaxJpegExif = kJpegSegmentData - 6;
constexpr char kXmpSegment[] = "http://ns.adobe.com/xap/1.0/";
constexpr size_t kMaxStandardXmp = kJpegSegmentData - sizeof kXmpSegment;
constexpr char kXmpExtensionSegment[] = "http://ns.adobe.com/xmp/extension/";
constexpr size_t kXmpGuid = 32;
constexpr size_t kXmpExtensionHeader = sizeof kXmpExtensionSegment + kXmpGuid + 8;
constexpr size_t kXmpExtensionChunk = kJpegSegmentData - kXmpExtensionHeader;
constexpr char kHasExtendedXmp[] = "Xmp.xmpNote.HasExtendedXMP";

// An XMP packet that could not be parsed cannot be split to fit in a JPEG.
bool RawXmpTooLarge(const PhotoMetadataBlocks& blocks) {
    return blocks.xmp.empty() && blocks.rawXmp.size() > kMaxStandardXmp;
}

void PutBigEndian32(uint32_t value, QByteArray* out) {
    for (int shift = 24; shift >= 0; shift -= 8) out->append(static_cast<char>(value >> shift));
}

// Appends a segment of marker holding header and then size bytes of data.
void AppendSegment(uint8_t marker, const QByteArray& header, const char* data, size_t size,
                   QByteArray* out) {
    const size_t length = 2 + static_cast<size_t>(header.size()) + size;
    const char start[] = {'\xFF', static_cast<char>(marker), static_cast<char>(length >> 8),
                          static_cast<char>(length)};
    out->append(start, sizeof start);
    *out += header;
    out->append(data, static_cast<qsizetype>(size));
}

// Appends data in as many segments of marker as it fills, each begun by the header header makes
// for the chunk's index and the count of chunks.
void AppendChunked(uint8_t marker, const char* data, size_t size, size_t chunk,
                   const std::function<QByteArray(size_t index, size_t count)>& header,
                   QByteArray* out) {
    const size_t count = (size + chunk - 1) / chunk;
    for (size_t k = 0; k < count; ++k) {
        AppendSegment(marker, header(k, count), data + k * chunk, std::min(chunk, size - k * chunk),
                      out);
    }
}

// jpeg, a JPEG file, with resources in APP13 "Photoshop 3.0" segments right after its start, as
// many as they fill. Exiv2 keeps such resources when it writes, its own IPTC in place of theirs.
QByteArray WithImageResources(const QByteArray& jpeg, const std::string& resources) {
    QByteArray segments;
    AppendChunked(
        0xED, resources.data(), resources.size(), kJpegSegmentData - sizeof kPhotoshopSegment,
        [](size_t, size_t) { return QByteArray(kPhotoshopSegment, sizeof kPhotoshopSegment); },
        &segments);
    return jpeg.left(2) + segments + jpeg.mid(2);
}

// The EXIF block of exif, every field kept: Exiv2's encoder for a JPEG leaves fields out, without
// saying which, when the block outgrows a segment.
std::string EncodedExif(const Exiv2::ExifData& exif) {
    Exiv2::MemIo io;
    Exiv2::TiffParser::encode(io, nullptr, 0, Exiv2::littleEndian, exif, Exiv2::IptcData(),
                              Exiv2::XmpData());
    return std::string(reinterpret_cast<const char*>(io.mmap()), io.size());
}

// Leaves the largest fields out of exif until its block fits in a JPEG's segment, naming them
// in leftOut (may be null).
void FitExifInJpeg(Exiv2::ExifData& exif, std::vector<MetadataLoss>* leftOut) {
    std::string names;
    for (size_t size = EncodedExif(exif).size(); size > kMaxJpegExif;
         size = EncodedExif(exif).size()) {
        for (size_t excess = size - kMaxJpegExif; excess > 0 && !exif.empty();) {
            const auto largest = std::max_element(
                exif.begin(), exif.end(), [](const Exiv2::Exifdatum& a, const Exiv2::Exifdatum& b) {
                    return a.size() < b.size();
                });
            names += (names.empty() ? "" : ", ") + largest->key() + " (" +
                     std::to_string(largest->size()) + " bytes)";
            excess -= std::min(excess, static_cast<size_t>(largest->size()));
            exif.erase(largest);
        }
    }
    if (leftOut && !names.empty()) {
        leftOut->push_back({MetadataLoss::Kind::ExifTooLarge,
                            "the EXIF fields " + names + " are left out, as a JPEG holds " +
                                std::to_string(kMaxJpegExif) + " bytes of EXIF at most"});
    }
}

std::string EncodedXmp(const Exiv2::XmpData& xmp, uint16_t flags) {
    std::string packet;
    if (Exiv2::XmpParser::encode(packet, xmp, flags) != 0)
        throw std::runtime_error("the XMP toolkit could not write the XMP");
    return packet;
}

// How the extended XMP packet is named in the standard one and in its segments.
QByteArray XmpGuid(const std::string& extension) {
    return QCryptographicHash::hash(QByteArrayView(extension.data(), extension.size()),
                                    QCryptographicHash::Md5)
        .toHex()
        .toUpper();
}

// The top-level property a key of XMP data belongs to, with its items and fields.
std::string PropertyOf(const std::string& key) {
    return key.substr(0, key.find_first_of("[/"));
}

// Splits xmp between standard, the packet of a JPEG's XMP segment, and the extended packet
// returned: the largest properties go there while the standard packet outgrows its segment,
// naming the extended one by its MD5. Empty when all fit.
std::string SplitJpegXmp(const Exiv2::XmpData& xmp, std::string* standard) {
    constexpr uint16_t kFlags = Exiv2::XmpParser::useCompactFormat;
    *standard = EncodedXmp(xmp, kFlags);
    std::map<std::string, size_t> sizes;
    for (const Exiv2::Xmpdatum& datum : xmp)
        sizes[PropertyOf(datum.key())] += datum.key().size() + datum.size();
    std::vector<std::pair<size_t, std::string>> largest;
    for (const auto& [name, size] : sizes) largest.emplace_back(size, name);
    std::sort(largest.rbegin(), largest.rend());
    std::set<std::string> moved;
    std::string extension;
    for (size_t next = 0; standard->size() > kMaxStandardXmp && next < largest.size();) {
        for (size_t excess = standard->size() - kMaxStandardXmp;
             excess > 0 && next < largest.size(); ++next) {
            moved.insert(largest[next].second);
            excess -= std::min(excess, largest[next].first);
        }
        Exiv2::XmpData kept, extended;
        for (const Exiv2::Xmpdatum& datum : xmp)
            (moved.count(PropertyOf(datum.key())) ? extended : kept).add(datum);
        extension = EncodedXmp(extended, kFlags | Exiv2::XmpParser::omitPacketWrapper);
        kept[kHasExtendedXmp] = XmpGuid(extension).toStdString();
        *standard = EncodedXmp(kept, kFlags);
    }
    return extension;
}

// After the JPEG's start and the APPn segments up to last that follow it.
qsizetype LeadingSegmentsEnd(const QByteArray& jpeg, uint8_t last) {
    qsizetype at = 2;
    while (at + 4 <= jpeg.size() && static_cast<uint8_t>(jpeg[at]) == 0xFF &&
           static_cast<uint8_t>(jpeg[at + 1]) >= 0xE0 &&
           static_cast<uint8_t>(jpeg[at + 1]) <= last) {
        at += 2 + (static_cast<uint8_t>(jpeg[at + 2]) << 8 | static_cast<uint8_t>(jpeg[at + 3]));
    }
    return std::min(at, jpeg.size());
}

// jpeg with the EXIF block right after its JFIF header, and the extended XMP and the profile
// after the EXIF and XMP segments: Exiv2 writes neither to the sizes a JPEG allows them.
QByteArray WithJpegSegments(const QByteArray& jpeg, const std::string& exif,
                            const std::string& extension, const QByteArray& profile) {
    QByteArray first, later;
    if (!exif.empty())
        AppendSegment(0xE1, QByteArray("Exif\0\0", 6), exif.data(), exif.size(), &first);
    const QByteArray guid = XmpGuid(extension);
    AppendChunked(
        0xE1, extension.data(), extension.size(), kXmpExtensionChunk,
        [&](size_t index, size_t) {
            QByteArray header(kXmpExtensionSegment, sizeof kXmpExtensionSegment);
            header += guid;
            PutBigEndian32(static_cast<uint32_t>(extension.size()), &header);
            PutBigEndian32(static_cast<uint32_t>(index * kXmpExtensionChunk), &header);
            return header;
        },
        &later);
    if (static_cast<size_t>(profile.size()) <= kIccChunk * kMaxIccChunks) {
        AppendChunked(
            0xE2, profile.constData(), static_cast<size_t>(profile.size()), kIccChunk,
            [](size_t index, size_t count) {
                return QByteArray(kIccSegment, sizeof kIccSegment) + static_cast<char>(index + 1) +
                       static_cast<char>(count);
            },
            &later);
    }
    const qsizetype afterJfif = LeadingSegmentsEnd(jpeg, 0xE0);
    const qsizetype afterXmp = LeadingSegmentsEnd(jpeg, 0xE1);
    return jpeg.left(afterJfif) + first + jpeg.mid(afterJfif, afterXmp - afterJfif) + later +
           jpeg.mid(afterXmp);
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
    const std::string block = EncodedExif(exif);
    return InsertPngChunk("eXIf", QByteArray(block.data(), static_cast<qsizetype>(block.size())),
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

uint32_t BigEndianAt(const std::string& bytes, size_t at, int size) {
    uint32_t value = 0;
    for (int i = 0; i < size; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

bool StartsWith(const std::string& data, const char* header, size_t size) {
    return data.compare(0, size, header, size) == 0;
}

// What the segments a JPEG starts with hold that Exiv2 does not read, or reads badly.
struct JpegHeaders {
    // The file's start, its EXIF, standard XMP and Photoshop segments and its end: all that
    // Exiv2 is given to read, so that a profile it takes for damaged costs nothing else.
    std::string metadata = "\xFF\xD8";
    std::string resources;  // the Photoshop resources, joined
    std::string profile;    // the colour profile's chunks joined while they come in order
    size_t profileChunks = 0, profileCount = 0;
    std::string profileProblem;
    // The chunks of each extended XMP packet by its MD5, joined while they come in order.
    struct Extension {
        uint32_t size = 0;
        std::string packet;
        bool broken = false;
    };
    std::map<std::string, Extension> extensions;
};

// Takes the next chunk of a colour profile: chunks come numbered in order, none twice.
void TakeIccChunk(const std::string& data, JpegHeaders* headers) {
    if (!headers->profileProblem.empty()) return;
    const size_t number = static_cast<uint8_t>(data[sizeof kIccSegment]);
    const size_t count = static_cast<uint8_t>(data[sizeof kIccSegment + 1]);
    if (headers->profileChunks == 0) headers->profileCount = count;
    if (number != headers->profileChunks + 1 || count != headers->profileCount || number > count) {
        headers->profileProblem = "its chunk numbered " + std::to_string(number) + " of " +
                                  std::to_string(count) + " comes where chunk " +
                                  std::to_string(headers->profileChunks + 1) + " of " +
                                  std::to_string(headers->profileCount) + " belongs";
        return;
    }
    headers->profile.append(data, kIccChunkHeader);
    ++headers->profileChunks;
}

void TakeXmpExtensionChunk(const std::string& data, JpegHeaders* headers) {
    JpegHeaders::Extension& extension =
        headers->extensions[data.substr(sizeof kXmpExtensionSegment, kXmpGuid)];
    const size_t at = sizeof kXmpExtensionSegment + kXmpGuid;
    const uint32_t size = BigEndianAt(data, at, 4), offset = BigEndianAt(data, at + 4, 4);
    if (extension.packet.empty()) extension.size = size;
    extension.broken = extension.broken || size != extension.size ||
                       offset != extension.packet.size() ||
                       data.size() - kXmpExtensionHeader > size - offset;
    if (!extension.broken) extension.packet.append(data, kXmpExtensionHeader);
}

// Reads the segments before a JPEG's pixels into headers. A segment that runs past the end of
// the file ends them.
void ReadJpegHeaders(const ReadFileAt& read, JpegHeaders* headers) {
    uint8_t head[4];
    for (uint64_t at = 2; read(at, head, 2) && head[0] == 0xFF;) {
        const uint8_t marker = head[1];
        if (marker == 0xFF) {  // fill before a marker
            ++at;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) break;                 // the pixels, or the end
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {  // markers without a length
            at += 2;
            continue;
        }
        if (!read(at + 2, head + 2, 2)) break;
        const size_t length = size_t{head[2]} << 8 | head[3];
        if (length < 2) break;
        if (marker == 0xE1 || marker == 0xE2 || marker == 0xED) {
            std::string data(length - 2, '\0');
            if (!read(at + 4, reinterpret_cast<uint8_t*>(data.data()), data.size())) break;
            if (marker == 0xE2 && data.size() >= kIccChunkHeader &&
                StartsWith(data, kIccSegment, sizeof kIccSegment)) {
                TakeIccChunk(data, headers);
            } else if (marker == 0xE1 && data.size() >= kXmpExtensionHeader &&
                       StartsWith(data, kXmpExtensionSegment, sizeof kXmpExtensionSegment)) {
                TakeXmpExtensionChunk(data, headers);
            } else if (marker != 0xE2) {
                if (marker == 0xED && StartsWith(data, kPhotoshopSegment, sizeof kPhotoshopSegment))
                    headers->resources.append(data, sizeof kPhotoshopSegment);
                headers->metadata.append({'\xFF', static_cast<char>(marker),
                                          static_cast<char>(head[2]), static_cast<char>(head[3])});
                headers->metadata += data;
            }
        }
        at += 2 + length;
    }
    headers->metadata += "\xFF\xD9";
}

// The colour profile read from a JPEG's chunks into origin when it is whole: every chunk there,
// and as long as its own header says. Otherwise it is left out, and origin says why.
void TakeJpegProfile(const JpegHeaders& headers, PhotoOrigin* origin) {
    std::string problem = headers.profileProblem;
    if (problem.empty() && headers.profileChunks < headers.profileCount) {
        problem = "it has " + std::to_string(headers.profileChunks) + " of its " +
                  std::to_string(headers.profileCount) + " chunks";
    }
    const size_t size = headers.profile.size();
    if (problem.empty() && headers.profileChunks > 0 &&
        (size < 4 || BigEndianAt(headers.profile, 0, 4) != size)) {
        problem = "its header gives a size of " +
                  std::to_string(size < 4 ? 0 : BigEndianAt(headers.profile, 0, 4)) +
                  " bytes, but it holds " + std::to_string(size);
    }
    if (!problem.empty()) {
        origin->metadataWarnings.push_back(
            {MetadataLoss::Kind::DamagedProfile, "the colour profile is left out, as " + problem});
    } else if (size > 0) {
        origin->iccProfile = QByteArray(headers.profile.data(), static_cast<qsizetype>(size));
    }
}

// Adds the properties of the extended XMP packet xmp names to it, and takes the name away.
void TakeXmpExtension(const JpegHeaders& headers, Exiv2::XmpData& xmp, PhotoOrigin* origin) {
    const auto note = xmp.findKey(Exiv2::XmpKey(kHasExtendedXmp));
    if (note == xmp.end()) return;
    const auto found = headers.extensions.find(note->toString());
    xmp.erase(note);
    Exiv2::XmpData extension;
    if (found == headers.extensions.end() || found->second.broken ||
        found->second.packet.size() != found->second.size ||
        Exiv2::XmpParser::decode(extension, found->second.packet) != 0) {
        origin->metadataWarnings.push_back(
            {MetadataLoss::Kind::DamagedExtendedXmp,
             "the extended XMP is left out, as its chunks are missing or damaged"});
        return;
    }
    for (const Exiv2::Xmpdatum& datum : extension) xmp.add(datum);
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
// throwing; the photo itself may still be sound, so what cannot be read is left out, and origin
// says so. A JPEG's profile and extended XMP are read apart, each costing only itself.
template <typename Open>
void ReadMetadataOf(Open open, const ReadFileAt& read, PhotoOrigin* origin) {
    PrepareExiv2();
    uint8_t start[2];
    const bool jpeg = read(0, start, 2) && start[0] == 0xFF && start[1] == 0xD8;
    JpegHeaders headers;
    if (jpeg) {
        ReadJpegHeaders(read, &headers);
        TakeJpegProfile(headers, origin);
    }
    Exiv2::Image::AutoPtr image;
    try {
        image = jpeg ? Exiv2::ImageFactory::open(
                           reinterpret_cast<const Exiv2::byte*>(headers.metadata.data()),
                           static_cast<long>(headers.metadata.size()))
                     : open();
    } catch (const std::exception&) {
        return;  // a kind of file Exiv2 does not know, which it keeps nothing of
    }
    try {
        if (image.get() == nullptr) return;
        image->readMetadata();
        ReadExifDensity(image->exifData(), origin);
        auto blocks = std::make_shared<PhotoMetadataBlocks>();
        blocks->exif = image->exifData();
        blocks->xmp = image->xmpData();
        blocks->iptc = image->iptcData();
        if (blocks->xmp.empty()) blocks->rawXmp = image->xmpPacket();
        TakeXmpExtension(headers, blocks->xmp, origin);
        ReadImageResources(*image, headers.resources, blocks.get());
        if (!blocks->exif.empty() || !blocks->xmp.empty() || !blocks->iptc.empty() ||
            !blocks->rawXmp.empty() || !blocks->imageResources.empty()) {
            origin->metadata = std::move(blocks);
        }
        if (!jpeg && image->iccProfileDefined()) {
            const Exiv2::DataBuf* icc = image->iccProfile();
            origin->iccProfile = QByteArray(reinterpret_cast<const char*>(icc->pData_),
                                            static_cast<qsizetype>(icc->size_));
        }
    } catch (const std::exception& error) {
        origin->metadataWarnings.push_back(
            {MetadataLoss::Kind::Unreadable,
             std::string(jpeg ? "the EXIF, XMP and IPTC are"
                              : "the metadata and colour profile are") +
                 " left out, as Exiv2 could not read them: " + error.what()});
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
        const bool jpeg = type == Exiv2::ImageType::jpeg, png = type == Exiv2::ImageType::png;
        image->readMetadata();
        if (metadata) CopyMetadata(*origin.metadata, width, height, image.get());
        if (!origin.iccProfile.isEmpty() && !jpeg && !png) {
            Exiv2::DataBuf icc(reinterpret_cast<const Exiv2::byte*>(origin.iccProfile.constData()),
                               static_cast<long>(origin.iccProfile.size()));
            // Embedded unchanged, as the source held it, whether Exiv2 finds it credible or not.
            image->setIccProfile(icc, false);
        }
        // A JPEG and a PNG get their EXIF block from here, whole, and a PNG once: in the eXIf
        // chunk, not in Exiv2's text chunk too.
        Exiv2::ExifData exif;
        if (jpeg || png) {
            exif = image->exifData();
            image->clearExifData();
        }
        const bool pngResources = png && metadata && !origin.metadata->imageResources.empty();
        // Nor its IPTC, when it comes with the resources.
        if (pngResources) image->clearIptcData();
        std::string extendedXmp;
        if (jpeg && metadata) {
            FitExifInJpeg(exif, nullptr);
            if (!image->xmpData().empty()) {
                extendedXmp = SplitJpegXmp(image->xmpData(), &image->xmpPacket());
                image->writeXmpFromPacket(true);
            } else if (RawXmpTooLarge(*origin.metadata)) {
                image->xmpPacket().clear();
            }
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
        if (jpeg) {
            result = WithJpegSegments(result, exif.empty() ? std::string() : EncodedExif(exif),
                                      extendedXmp, origin.iccProfile);
        }
        if (pngResources &&
            !InsertPngResources(origin.metadata->imageResources, origin.metadata->iptc, &result)) {
            *reason = "could not add the Photoshop resources to the PNG file";
            return 0;
        }
        if (png && !origin.iccProfile.isEmpty() && !InsertPngProfile(origin.iccProfile, &result)) {
            *reason = "could not add the colour profile to the PNG file";
            return 0;
        }
        if (png && metadata && !InsertPngExif(exif, &result)) {
            *reason = "could not add the EXIF block to the PNG file";
            return 0;
        }
        *encoded = std::move(result);
        return 1;
    } catch (const std::bad_alloc&) {
        throw;  // the saver's: not enough memory
    } catch (const std::exception& error) {
        *reason = std::string("could not add the metadata: ") + error.what();
        return 0;
    }
}

std::vector<MetadataLoss> MetadataLeftOut(const PhotoOrigin& origin, bool keepMetadata,
                                          const PhotoFormat& format) {
    std::vector<MetadataLoss> leftOut = origin.metadataWarnings;
    const bool metadata = keepMetadata && origin.metadata != nullptr;
    if (format.metadata == MetadataKind::None) {
        if (metadata || !origin.iccProfile.isEmpty()) {
            leftOut.push_back({MetadataLoss::Kind::FormatHoldsNone,
                               std::string("the metadata and colour profile are left out, as a ") +
                                   format.name + " file holds neither"});
        }
        return leftOut;
    }
    if (format.metadata != MetadataKind::Segments) return leftOut;
    if (static_cast<size_t>(origin.iccProfile.size()) > kIccChunk * kMaxIccChunks) {
        leftOut.push_back({MetadataLoss::Kind::ProfileTooLarge,
                           "the colour profile (" + std::to_string(origin.iccProfile.size()) +
                               " bytes) is left out, as a JPEG holds " +
                               std::to_string(kIccChunk * kMaxIccChunks) +
                               " bytes of profile at most"});
    }
    if (!metadata) return leftOut;
    if (RawXmpTooLarge(*origin.metadata)) {
        leftOut.push_back({MetadataLoss::Kind::XmpTooLarge,
                           "the XMP packet (" + std::to_string(origin.metadata->rawXmp.size()) +
                               " bytes) is left out, as it could not be parsed to be split and a "
                               "JPEG holds " +
                               std::to_string(kMaxStandardXmp) + " bytes of it whole at most"});
    }
    PrepareExiv2();
    try {
        Exiv2::ExifData exif = CarriedExif(*origin.metadata, 0, 0);
        FitExifInJpeg(exif, &leftOut);
    } catch (const std::exception&) {
        // The same fault fails the save, which says so.
    }
    return leftOut;
}
