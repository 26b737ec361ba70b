// What a photo file carries besides its pixels, kept from loading to saving: its EXIF, XMP and
// IPTC metadata and Photoshop image resources, its embedded ICC colour profile, its density and the
// precision of its samples. Exiv2 reads the blocks from the loaded file and writes them into the
// encoded bytes of the saved one.
#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct PhotoFormat;
struct PhotoMetadataBlocks;  // Exiv2's EXIF, XMP and IPTC data and the resources of one file

// What of a photo's metadata or colour profile is left out of its saves, and why; text names it
// and says why in English.
struct MetadataLoss {
    enum class Kind {
        DamagedProfile,      // a JPEG's colour profile that cannot be put together
        DamagedExtendedXmp,  // a JPEG's extended XMP whose chunks are missing or damaged
        Unreadable,          // metadata Exiv2 cannot read
        FormatHoldsNone,     // the saved format holds neither metadata nor a colour profile
        ProfileTooLarge,     // a colour profile above what a JPEG's 255 chunks hold
        XmpTooLarge,         // an XMP packet too large for a JPEG, which cannot be split
        ExifTooLarge,        // EXIF fields a JPEG's one EXIF segment cannot hold
    };
    Kind kind;
    std::string text;
};

struct PhotoOrigin {
    int bitsPerChannel = 8;  // 16 when the loaded samples held more than 8 bits
    QByteArray iccProfile;   // the embedded profile's bytes; empty when the file had none
    std::shared_ptr<const PhotoMetadataBlocks> metadata;  // null when the file carried none
    // The density the file gave, from its EXIF resolution or else its JFIF header; 0 for none.
    int dotsPerMeterX = 0;
    int dotsPerMeterY = 0;
    int32_t damagedRows = 0;  // the lower rows that could not be decoded, filled in their place
    // What of the file's metadata or profile could not be read and is left out, each naming it
    // and saying why.
    std::vector<MetadataLoss> metadataWarnings;
};

// Reads the metadata blocks and the colour profile of the photo file held in data into origin,
// leaving its bitsPerChannel alone. Metadata that cannot be read is left out, and
// metadataWarnings says so: damaged metadata never keeps a photo from loading. A JPEG's colour
// profile must come whole, its chunks in order; a damaged one costs only itself.
void ReadPhotoMetadata(const uint8_t* data, size_t size, PhotoOrigin* origin);
// The same for the photo file open as fd, reading only as much of it as the metadata needs.
void ReadPhotoMetadata(int fd, PhotoOrigin* origin);

// Adds to encoded, a complete JPEG, PNG or TIFF file of width x height pixels, the colour
// profile of origin unchanged and, with keepMetadata, its EXIF, XMP and IPTC: Orientation 1 (the
// pixels are upright), the new pixel dimensions, no EXIF thumbnail and none of the source file's
// own layout fields; the IPTC datasets as they were, and the Photoshop resources but their
// thumbnails. Formats that hold no metadata (BMP) stay as they are. What a JPEG cannot hold is
// left out, as MetadataLeftOut tells; an XMP packet too large for its segment is split, its
// largest properties going into the extended XMP segments. Returns 1, or 0 with reason set and
// encoded unchanged; a failed allocation throws std::bad_alloc, which the saver reports as such.
int EmbedPhotoMetadata(const PhotoOrigin& origin, bool keepMetadata, int32_t width, int32_t height,
                       QByteArray* encoded, std::string* reason);

// What a file of format made by EmbedPhotoMetadata from origin lacks of its source's metadata and
// colour profile, each naming it and saying why: what could not be read, and what the format
// cannot hold (a JPEG's EXIF segment, its 255 chunks of profile). Empty when nothing is lost.
std::vector<MetadataLoss> MetadataLeftOut(const PhotoOrigin& origin, bool keepMetadata,
                                          const PhotoFormat& format);
