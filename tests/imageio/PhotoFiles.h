// Shared by the photo loading and saving tests: a scratch folder, external tools, file bytes and
// reference images built the slow, obvious way from known RGB samples.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <cstring>
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

  private:
    QTemporaryDir dir_;
};

// Runs a shell command, quiet; true when it exits with 0.
inline bool RunTool(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline QByteArray ReadBytes(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

inline bool WriteBytes(const std::string& path, const QByteArray& bytes) {
    QFile file(QString::fromStdString(path));
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A picture of random colours, the same for the same seed.
inline QImage RandomPicture(int width, int height, uint32_t seed) {
    QImage picture(width, height, QImage::Format_RGB32);
    std::mt19937 random(seed);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) picture.setPixel(x, y, random() | 0xFF000000u);
    }
    return picture;
}

// The PT_HSV16 buffer a photo with these 8-bit colours must load as: each pixel set one by one
// as RGB8, then the whole buffer converted.
inline void MakeReference(const QImage& picture, C_ImgBuff* reference) {
    ASSERT_EQ(reference->Create(picture.width(), picture.height(), PT_RGB8), 1);
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            const QRgb c = picture.pixel(x, y);
            reference->SetRGB8(x, y, qRed(c), qGreen(c), qBlue(c));
        }
    }
    ASSERT_EQ(reference->ConvertType(PT_HSV16), 1);
}

inline bool SameImage(const C_ImgBuff& a, const C_ImgBuff& b) {
    if (a.type != b.type || a.width != b.width || a.height != b.height) return false;
    if (a.type == PT_NONE) return true;
    const size_t bytes =
        static_cast<size_t>(a.width) * static_cast<size_t>(a.height) * kBytesPerPixel[a.type];
    return std::memcmp(a.pixels, b.pixels, bytes) == 0;
}

// A path of exactly units UTF-16 code units below base (which must be shorter), made of folders
// and a file name of kana (three UTF-8 bytes each) and ending in suffix; the folders are made.
inline std::string KanaPath(const std::string& base, int units, const std::string& suffix) {
    const std::string kana = "あ";
    std::string path = base;
    int left = units - static_cast<int>(base.size()) - static_cast<int>(suffix.size());
    while (left > 81) {
        path += "/";
        for (int i = 0; i < 80; ++i) path += kana;
        QDir().mkpath(QString::fromStdString(path));
        left -= 81;
    }
    path += "/";
    for (int i = 0; i < left - 1; ++i) path += kana;
    return path + suffix;
}
