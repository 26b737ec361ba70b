// libFuzzer target for reading photo files as the programs do: every input is written to a file
// with no extension and loaded, so that its first bytes choose the decoder (the direct JPEG
// decoder and its EXIF orientation, the TIFF readers, Qt's PNG, BMP, GIF and WebP readers); its
// metadata, read by Exiv2, is embedded into a small JPEG, PNG and TIFF, as a save puts it in.
// A photo that loads must load whole.
#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QImageWriter>

#include <fcntl.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "image/ImgBuff.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoMetadata.h"
#include "parallel/WorkerPool.h"

namespace {

// Compressed data may declare any size; past this the run would only measure allocation.
constexpr uint64_t kFuzzMaxPixels = 4u << 20;

std::filesystem::path folder;
std::vector<QByteArray> smallFiles;

QByteArray Encode(const char* format) {
    QImage picture(3, 2, QImage::Format_RGB32);
    picture.fill(qRgb(90, 120, 200));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, format).write(picture);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Qt finds its image format plugins through the application.
    static QCoreApplication application(*argc, *argv);
    WorkerPool::Acquire();
    std::string name = (std::filesystem::temp_directory_path() / "photo_file_fuzz.XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) std::abort();
    folder = name;
    std::atexit([] { std::filesystem::remove_all(folder); });
    for (const char* format : {"jpeg", "png", "tiff"}) smallFiles.push_back(Encode(format));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = (folder / "input").string();
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size) || close(fd) != 0)
        std::abort();
    PhotoLoadLimits limits;
    limits.maxPixels = kFuzzMaxPixels;
    limits.allowDamaged = size % 2 == 1;
    CImgBuff target;
    PhotoOrigin origin;
    if (LoadPhoto(path.c_str(), &target, nullptr, limits, &origin)) {
        const C_ImgBuff& photo = *target.buffer;
        if (photo.type != PT_HSV16 || photo.width < 1 || photo.height < 1) __builtin_trap();
    } else {
        ReadPhotoMetadata(data, size, &origin);
    }
    for (QByteArray encoded : smallFiles) {
        std::string reason;
        EmbedPhotoMetadata(origin, true, 3, 2, &encoded, &reason);
    }
    return 0;
}
