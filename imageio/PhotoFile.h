// What loading and saving share below the formats: why a photo file could not be read or written,
// opening a photo file safely, and whether a picture of a given size can be held at all.
#pragma once

#include <cstdint>
#include <new>
#include <string>

// Why loading or saving failed. The text beside it names the cause for a person to read.
enum class PhotoFailure {
    None,
    NoSuchFile,
    FolderMissing,
    IsFolder,
    NotRegularFile,  // a FIFO, device or socket
    DanglingLink,
    LinkLoop,
    PathTooLong,
    NoPermission,
    DiskFull,
    FileTooLarge,  // above the file size limit or what the file system holds (EFBIG)
    NotAPhoto,     // damaged, or a format no decoder reads
    Damaged,       // decodes only in part, and PhotoLoadLimits::allowDamaged is not set
    TooManyPixels,
    NotEnoughMemory,
    UnknownFormat,      // the output's extension names no format that is written
    TooLargeForFormat,  // the output format cannot hold the picture's size
    SystemError,        // any other refusal of the system, in its own words
};

struct PhotoError {
    PhotoFailure failure = PhotoFailure::None;
    std::string text;
};

// What a file that is neither a regular file nor a folder is, from its stat mode.
std::string DescribeNonRegularFile(unsigned mode);

// Sets *error (when error is not null).
void SetPhotoError(PhotoError* error, PhotoFailure failure, std::string text);
// The failure and text an errno value stands for.
void SetErrnoError(PhotoError* error, int errnum);

// Counts one allocation of an encoder's output bytes: true when it is to fail as though memory
// were short, as PhotoSaver_FailEncoderAllocation (PhotoSaverTesting.h) asked.
bool EncoderAllocationFails();

// Runs grow, an allocation of an encoder's output bytes, and says whether it succeeded: false when
// memory is short (grow threw std::bad_alloc, or a test made it fail). Encoders call it where a C
// library (libpng, libtiff, libjpeg) called them, as no exception may cross that library's frames.
template <typename Grow>
bool GrowEncoderOutput(const Grow& grow) noexcept {
    try {
        if (EncoderAllocationFails()) return false;
        grow();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Pictures above this many pixels are refused from their header: larger than any camera sensor,
// so a header claiming more is far more likely a decompression bomb than a photo.
inline constexpr uint64_t kDefaultMaxPhotoPixels = 250'000'000;

struct PhotoLoadLimits {
    uint64_t maxPixels = kDefaultMaxPhotoPixels;
    // A photo whose lower rows could not be decoded loads with them filled, its origin saying how
    // many, rather than being refused.
    bool allowDamaged = false;
};

// The most pixels a PT_HSV16 buffer can hold (its block size is 32-bit).
inline constexpr uint64_t kMaxHoldablePixels = (0xFFFFF000ull - 4) / 6;

// Bytes of memory the process can still take: the smaller of the system's available memory and
// what its address-space limit leaves. UINT64_MAX when neither can be read.
uint64_t AvailableMemoryBytes();

// bytes as whole megabytes, rounded up, for messages: "12 MB".
std::string Megabytes(uint64_t bytes);

// Whether a width x height photo may be loaded: within limits.maxPixels and what a buffer can hold,
// and with memory for its source, result and proxy buffers besides the decoderBytes that decoding
// it takes. On refusal sets error with the size, or the memory needed and available, and returns 0.
int CheckPhotoSize(int64_t width, int64_t height, uint64_t decoderBytes,
                   const PhotoLoadLimits& limits, PhotoError* error);

// A density in whole dots per inch or per centimetre, whichever lies closer to both of its dots per
// metre (centimetres on a tie): the choice of Qt's JPEG writer, made for TIFF too.
struct WholeDensity {
    bool perInch = false;
    uint32_t x = 0;
    uint32_t y = 0;
};
WholeDensity ToWholeDensity(int dotsPerMeterX, int dotsPerMeterY);

// Opens path (bytes as the file system holds them) for reading without blocking and without
// becoming a controlling terminal, and refuses anything but a regular file before a byte is read.
// Returns the descriptor, or -1 with error set.
int OpenPhotoFile(const char* path, PhotoError* error);

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();
    int get() const { return fd_; }

  private:
    int fd_;
};
