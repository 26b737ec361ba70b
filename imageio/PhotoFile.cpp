#include "imageio/PhotoFile.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

// A PT_HSV16 pixel; the source and the result hold one each, the quarter-size proxy one per 16.
constexpr uint64_t kHsvPixelBytes = 6;

std::string Megapixels(uint64_t pixels) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f megapixels", static_cast<double>(pixels) / 1e6);
    return text;
}

// MemAvailable of /proc/meminfo in bytes; UINT64_MAX when it cannot be read.
uint64_t SystemAvailableBytes() {
    FILE* file = std::fopen("/proc/meminfo", "re");
    if (file == nullptr) return UINT64_MAX;
    uint64_t available = UINT64_MAX;
    char line[128];
    unsigned long long kilobytes = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::sscanf(line, "MemAvailable: %llu kB", &kilobytes) == 1) {
            available = static_cast<uint64_t>(kilobytes) * 1024;
            break;
        }
    }
    std::fclose(file);
    return available;
}

// What the address-space limit leaves beside the mappings the process already has.
uint64_t AddressSpaceLeftBytes() {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return UINT64_MAX;
    FILE* file = std::fopen("/proc/self/statm", "re");
    if (file == nullptr) return UINT64_MAX;
    unsigned long long pages = 0;
    const bool read = std::fscanf(file, "%llu", &pages) == 1;
    std::fclose(file);
    if (!read) return UINT64_MAX;
    const uint64_t used =
        static_cast<uint64_t>(pages) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    return limit.rlim_cur > used ? limit.rlim_cur - used : 0;
}

}  // namespace

std::string DescribeNonRegularFile(unsigned mode) {
    if (S_ISFIFO(mode)) return "is a named pipe (FIFO), not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "is a device, not a regular file";
    if (S_ISSOCK(mode)) return "is a socket, not a regular file";
    return "is not a regular file";
}

void SetPhotoError(PhotoError* error, PhotoFailure failure, std::string text) {
    if (error == nullptr) return;
    error->failure = failure;
    error->text = std::move(text);
}

void SetErrnoError(PhotoError* error, int errnum) {
    switch (errnum) {
        case ENOENT:
            return SetPhotoError(error, PhotoFailure::NoSuchFile, "no such file");
        case ENOTDIR:
            return SetPhotoError(error, PhotoFailure::NoSuchFile,
                                 "no such file (a part of the path is not a folder)");
        case EISDIR:
            return SetPhotoError(error, PhotoFailure::IsFolder, "is a folder");
        case ELOOP:
            return SetPhotoError(error, PhotoFailure::LinkLoop,
                                 "symbolic links loop (too many levels of links)");
        case ENAMETOOLONG:
            return SetPhotoError(error, PhotoFailure::PathTooLong,
                                 "the path, or a name in it, is too long");
        case EACCES:
        case EPERM:
            return SetPhotoError(error, PhotoFailure::NoPermission, "no permission");
        case ENOSPC:
            return SetPhotoError(error, PhotoFailure::DiskFull, "the disk is full");
        case EDQUOT:
            return SetPhotoError(error, PhotoFailure::DiskFull, "the disk quota is used up");
        case EFBIG:
            return SetPhotoError(error, PhotoFailure::FileTooLarge,
                                 "the file is too large for this file system");
        case ENOMEM:
            return SetPhotoError(error, PhotoFailure::NotEnoughMemory, "not enough memory");
        default:
            return SetPhotoError(error, PhotoFailure::SystemError, std::strerror(errnum));
    }
}

WholeDensity ToWholeDensity(int dotsPerMeterX, int dotsPerMeterY) {
    const auto whole = [](double value) { return static_cast<uint32_t>(std::floor(value + 0.5)); };
    const auto off = [&](double value) { return std::abs(value - whole(value)); };
    const double inchX = dotsPerMeterX * 2.54 / 100., inchY = dotsPerMeterY * 2.54 / 100.;
    const double centimetreX = dotsPerMeterX / 100., centimetreY = dotsPerMeterY / 100.;
    if (off(inchX) + off(inchY) < (off(centimetreX) + off(centimetreY)) * 2.54) {
        return {true, whole(inchX), whole(inchY)};
    }
    return {false, whole(centimetreX), whole(centimetreY)};
}

std::string Megabytes(uint64_t bytes) {
    return std::to_string((bytes + (1u << 20) - 1) >> 20) + " MB";
}

uint64_t AvailableMemoryBytes() {
    const uint64_t system = SystemAvailableBytes();
    const uint64_t addressSpace = AddressSpaceLeftBytes();
    return system < addressSpace ? system : addressSpace;
}

int CheckPhotoSize(int64_t width, int64_t height, uint64_t decoderBytes,
                   const PhotoLoadLimits& limits, PhotoError* error) {
    if (width <= 0 || height <= 0) {
        SetPhotoError(error, PhotoFailure::NotAPhoto, "the picture has no pixels");
        return 0;
    }
    const std::string size = std::to_string(width) + " x " + std::to_string(height);
    // Both sides are below 2^31 wherever they come from, so the product cannot overflow.
    const uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
    if (pixels > limits.maxPixels) {
        SetPhotoError(error, PhotoFailure::TooManyPixels,
                      size + " is " + Megapixels(pixels) + ", above the limit of " +
                          Megapixels(limits.maxPixels));
        return 0;
    }
    if (pixels > kMaxHoldablePixels) {
        SetPhotoError(error, PhotoFailure::TooManyPixels,
                      size + " is " + Megapixels(pixels) + ", more than a photo buffer holds (" +
                          Megapixels(kMaxHoldablePixels) + ")");
        return 0;
    }
    const uint64_t needed =
        decoderBytes + pixels * kHsvPixelBytes * 2 + pixels / 16 * kHsvPixelBytes;
    const uint64_t available = AvailableMemoryBytes();
    if (needed > available) {
        SetPhotoError(error, PhotoFailure::NotEnoughMemory,
                      "not enough memory: " + size + " needs " + Megabytes(needed) + ", only " +
                          Megabytes(available) + " are available");
        return 0;
    }
    return 1;
}

int OpenPhotoFile(const char* path, PhotoError* error) {
    if (path == nullptr || path[0] == '\0') {
        SetPhotoError(error, PhotoFailure::NoSuchFile, "no file name");
        return -1;
    }
    // Non-blocking: a FIFO without a writer would otherwise stall the open itself.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        SetErrnoError(error, errno);
        return -1;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        SetErrnoError(error, errno);
        close(fd);
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        if (S_ISDIR(status.st_mode)) {
            SetPhotoError(error, PhotoFailure::IsFolder, "is a folder");
        } else {
            SetPhotoError(error, PhotoFailure::NotRegularFile,
                          DescribeNonRegularFile(status.st_mode));
        }
        close(fd);
        return -1;
    }
    return fd;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
}
