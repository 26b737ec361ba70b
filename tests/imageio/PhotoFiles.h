// Shared by the image file tests: a scratch folder that runs the external tools, and reference
// images built pixel by pixel through the buffer's own setters.
#pragma once

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "image/ImgBuff.h"

class ScratchFolder {
  public:
    std::string Path(const std::string& name) const {
        return dir_.path().toStdString() + "/" + name;
    }
    // Runs a shell command inside the folder, its errors unseen; true when it exits with 0. Its
    // standard output goes to output when given.
    bool Run(const std::string& command, std::string* output = nullptr) const {
        const std::string line = "cd '" + Path("") + "' && (" + command + ") 2>/dev/null";
        FILE* pipe = popen(line.c_str(), "r");
        if (pipe == nullptr) return false;
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            if (output != nullptr) output->append(chunk, n);
        return pclose(pipe) == 0;
    }
    void Shell(const std::string& command) const { ASSERT_TRUE(Run(command)) << command; }
    std::string Output(const std::string& command) const {
        std::string text;
        Run(command, &text);
        return text;
    }
    bool Write(const std::string& name, const QByteArray& bytes) const {
        QFile file(QString::fromStdString(Path(name)));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
    QByteArray Read(const std::string& name) const {
        QFile file(QString::fromStdString(Path(name)));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

  private:
    QTemporaryDir dir_;
};

inline QByteArray RandomBytes(int count, uint32_t seed) {
    std::mt19937 random(seed);
    QByteArray bytes(count, '\0');
    for (char& b : bytes) b = static_cast<char>(random());
    return bytes;
}

inline QImage RandomPicture(int width, int height, uint32_t seed) {
    const QByteArray rgb = RandomBytes(width * height * 3, seed);
    return QImage(reinterpret_cast<const uchar*>(rgb.constData()), width, height, width * 3,
                  QImage::Format_RGB888)
        .convertToFormat(QImage::Format_RGB32);
}

// The picture Qt's reader makes of a file, judged by its content, turned upright unless told not.
inline QImage ReadPicture(const std::string& path, bool turn = true, QByteArray* format = nullptr) {
    QImageReader reader(QString::fromStdString(path));
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(turn);
    if (format != nullptr) *format = reader.format();
    return reader.read();
}

// The bytes Qt's writer makes of a picture as a JPEG of this quality.
inline QByteArray QtJpeg(const QImage& picture, int quality) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    return writer.write(picture) ? bytes : QByteArray();
}

// An image of type whose pixels are set one by one.
inline void MakeExpected(C_ImgBuff* out, int width, int height, PixelType type,
                         const std::function<void(C_ImgBuff*, int, int)>& set) {
    ASSERT_EQ(out->Create(width, height, type), 1);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) set(out, x, y);
}

// The image a picture with these 8-bit colours must load as (or is to be saved from).
inline void MakeReference(const QImage& picture, C_ImgBuff* out, PixelType type = PT_HSV16) {
    MakeExpected(out, picture.width(), picture.height(), type, [&](C_ImgBuff* b, int x, int y) {
        b->SetRGB8(x, y, qRed(picture.pixel(x, y)), qGreen(picture.pixel(x, y)),
                   qBlue(picture.pixel(x, y)));
    });
}

inline bool SameImage(const C_ImgBuff& a, const C_ImgBuff& b) {
    const size_t bytes =
        a.type == PT_NONE ? 0 : size_t(a.width) * a.height * kBytesPerPixel[a.type];
    return a.type == b.type && a.width == b.width && a.height == b.height &&
           (bytes == 0 || std::memcmp(a.pixels, b.pixels, bytes) == 0);
}
