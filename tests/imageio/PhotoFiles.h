// Shared by the image file tests: a scratch folder, external tools, and reference images built
// pixel by pixel through the buffer's own setters.
#pragma once

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
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
    QStringList Entries() const {
        return QDir(dir_.path())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }
    // Runs a shell command inside the folder, quietly; true when it exits with 0.
    bool Run(const std::string& command) const {
        const std::string line = "cd '" + dir_.path().toStdString() + "' && " + command;
        return std::system((line + " >/dev/null 2>&1").c_str()) == 0;
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

inline bool WritePicture(const QImage& picture, const std::string& path, const char* format) {
    return QImageWriter(QString::fromStdString(path), format).write(picture);
}

// Runs write with the process's file size limit lowered to bytes, which stops a write part-way as
// a full disk would; SIGXFSZ is ignored so that the write fails with EFBIG instead.
inline int UnderFileSizeLimit(rlim_t bytes, const std::function<int()>& write) {
    rlimit saved{};
    EXPECT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = bytes;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int result = write();
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, oldHandler);
    return result;
}

// An image of type whose pixels are set one by one.
inline void MakeExpected(C_ImgBuff* out, int width, int height,
                         const std::function<void(C_ImgBuff*, int, int)>& set,
                         PixelType type = PT_HSV16) {
    ASSERT_EQ(out->Create(width, height, type), 1);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) set(out, x, y);
    }
}

// The image a picture with these 8-bit colours must load as (or is to be saved from).
inline void MakeReference(const QImage& picture, C_ImgBuff* out, PixelType type = PT_HSV16) {
    MakeExpected(
        out, picture.width(), picture.height(),
        [&](C_ImgBuff* b, int x, int y) {
            const QRgb c = picture.pixel(x, y);
            b->SetRGB8(x, y, qRed(c), qGreen(c), qBlue(c));
        },
        type);
}

inline bool SameImage(const C_ImgBuff& a, const C_ImgBuff& b) {
    const size_t bytes =
        a.type == PT_NONE ? 0 : size_t(a.width) * a.height * kBytesPerPixel[a.type];
    return a.type == b.type && a.width == b.width && a.height == b.height &&
           (bytes == 0 || std::memcmp(a.pixels, b.pixels, bytes) == 0);
}

// A path of exactly units UTF-16 code units below base (which must be shorter), made of folders
// and a file name of kana (three UTF-8 bytes each) and ending in suffix; the folders are made.
inline std::string KanaPath(const std::string& base, int units, const std::string& suffix) {
    std::string path = base;
    int left = units - static_cast<int>(base.size() + suffix.size());
    for (; left > 81; left -= 81) {
        path += "/";
        for (int i = 0; i < 80; ++i) path += "あ";
        QDir().mkpath(QString::fromStdString(path));
    }
    path += "/";
    for (int i = 0; i < left - 1; ++i) path += "あ";
    return path + suffix;
}
