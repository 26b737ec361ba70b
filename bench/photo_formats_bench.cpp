// What a photo carries, at camera size (6000 x 4000): loading a 16-bit LZW TIFF beside libtiff's
// decoding alone, and saving a camera JPEG with its metadata and profile, and a 16-bit TIFF,
// each beside Qt's encoder alone on the same picture, the TIFF (with and without the camera's
// metadata) also beside libtiff writing the same file alone. The inputs are made on first use.
#include <tiffio.h>

#include <QBuffer>
#include <QColorSpace>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // Exiv2 0.27's std::auto_ptr
#include <exiv2/exiv2.hpp>

#include "bench/BenchPhotos.h"
#include "image/ImgBuff.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoMetadata.h"
#include "imageio/PhotoSaver.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr int kRowsPerStrip = 16;

// A small camera JPEG's metadata: EXIF with date, camera, GPS and a sideways orientation, XMP,
// IPTC and an Adobe RGB profile, read as loading would read it.
PhotoOrigin CameraOrigin() {
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "jpeg").write(QImage(64, 48, QImage::Format_RGB888));
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(
        reinterpret_cast<const Exiv2::byte*>(jpeg.constData()), static_cast<long>(jpeg.size()));
    image->readMetadata();
    Exiv2::ExifData& exif = image->exifData();
    exif["Exif.Image.Make"] = "Canon";
    exif["Exif.Image.Model"] = "Canon EOS R5";
    exif["Exif.Image.Orientation"] = uint16_t{6};
    exif["Exif.Photo.DateTimeOriginal"] = "2024:05:01 10:20:30";
    exif["Exif.Photo.PixelXDimension"] = uint32_t{kWidth};
    exif["Exif.Photo.PixelYDimension"] = uint32_t{kHeight};
    exif["Exif.GPSInfo.GPSLatitudeRef"] = "N";
    exif["Exif.GPSInfo.GPSLatitude"].setValue("35/1 40/1 7/1");
    image->xmpData()["Xmp.xmp.Rating"] = "4";
    image->iptcData()["Iptc.Application2.Caption"] = "Kiyomizu";
    const QByteArray profile = QColorSpace(QColorSpace::AdobeRgb).iccProfile();
    Exiv2::DataBuf icc(reinterpret_cast<const Exiv2::byte*>(profile.constData()),
                       static_cast<long>(profile.size()));
    image->setIccProfile(icc);
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.open();
    const Exiv2::DataBuf bytes = io.read(static_cast<long>(io.size()));
    PhotoOrigin origin;
    ReadPhotoMetadata(bytes.pData_, static_cast<size_t>(bytes.size_), &origin);
    return origin;
}

// A new kWidth x kHeight 16-bit RGB LZW TIFF at path, with the predictor, as the saver writes one.
TIFF* OpenLzwTiff16(const std::string& path, uint32_t rowsPerStrip) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif) return nullptr;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, kHeight);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    return tif;
}

struct Inputs {
    QTemporaryDir dir;
    std::string tiff = dir.path().toStdString() + "/lzw16.tif";
    std::string savedJpeg = dir.path().toStdString() + "/saved.jpg";
    std::string savedTiff = dir.path().toStdString() + "/saved.tif";
    std::string libtiffTiff = dir.path().toStdString() + "/libtiff.tif";
    QImage rgb888;  // the corrected picture as Qt's writer takes it, 8 and 16 bits a channel
    QImage rgbx64;
    CImgBuff hsv;  // the same picture as the program holds it
    PhotoOrigin camera = CameraOrigin();
    PhotoOrigin deep;
    PhotoOrigin deepCamera;       // the camera's metadata on a 16-bit source
    std::vector<uint16_t> rgb16;  // the corrected picture's 16-bit RGB, as libtiff writes it

    Inputs() {
        HoldPool();
        TIFF* tif = OpenLzwTiff16(tiff, kRowsPerStrip);
        std::mt19937 random(1);
        std::vector<uint16_t> row(kWidth * 3);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                for (int c = 0; c < 3; ++c) row[x * 3 + c] = PhotoLikeSample(x, y, c, random);
            }
            TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0);
        }
        TIFFClose(tif);
        LoadPhoto(tiff.c_str(), &hsv, nullptr, {}, &deep);
        rgbx64 = MakeEncoderImage(*hsv.buffer, true);
        rgb888 = MakeEncoderImage(*hsv.buffer);
        deepCamera = camera;
        deepCamera.bitsPerChannel = 16;
        rgb16.resize(size_t{kWidth} * kHeight * 3);
        for (int y = 0; y < kHeight; ++y) {
            const auto* line = reinterpret_cast<const uint16_t*>(rgbx64.constScanLine(y));
            for (int x = 0; x < kWidth; ++x) {
                for (int c = 0; c < 3; ++c)
                    rgb16[(size_t{kWidth} * y + x) * 3 + c] = line[x * 4 + c];
            }
        }
    }
};

Inputs& GetInputs() {
    static Inputs inputs;
    return inputs;
}

void BM_LoadPhotoTiff16Lzw(benchmark::State& state) {
    const std::string& path = GetInputs().tiff;
    CImgBuff target;
    for (auto _ : state) {
        if (!LoadPhoto(path.c_str(), &target)) state.SkipWithError("LoadPhoto failed");
    }
}

// libtiff alone: every strip decoded into one buffer.
void BM_LibtiffDecodeTiff16Lzw(benchmark::State& state) {
    const std::string& path = GetInputs().tiff;
    std::vector<uint8_t> pixels(size_t{kWidth} * kHeight * 6);
    for (auto _ : state) {
        TIFF* tif = TIFFOpen(path.c_str(), "r");
        if (!tif) state.SkipWithError("TIFFOpen failed");
        const tmsize_t stripBytes = TIFFStripSize(tif);
        for (uint32_t strip = 0; strip < TIFFNumberOfStrips(tif); ++strip) {
            if (TIFFReadEncodedStrip(tif, strip, pixels.data() + strip * stripBytes, -1) < 0) {
                state.SkipWithError("TIFFReadEncodedStrip failed");
            }
        }
        TIFFClose(tif);
        benchmark::DoNotOptimize(pixels.data());
    }
}

// Lumivex's save of the photo with the given origin, beside Qt's writer alone on the same size.
void SaveLoop(benchmark::State& state, const std::string& path, const PhotoOrigin& origin) {
    Inputs& inputs = GetInputs();
    for (auto _ : state) {
        if (!SavePhoto(path.c_str(), &inputs.hsv, nullptr, &origin)) {
            state.SkipWithError("SavePhoto failed");
        }
    }
}

void QtWriteLoop(benchmark::State& state, const std::string& path, const QImage& image,
                 const char* format) {
    for (auto _ : state) {
        QImageWriter writer(QString::fromStdString(path), format);
        if (!writer.write(image)) state.SkipWithError("QImageWriter failed");
    }
}

void BM_SavePhotoJpegWithMetadata(benchmark::State& state) {
    SaveLoop(state, GetInputs().savedJpeg, GetInputs().camera);
}

void BM_QtWriteJpeg(benchmark::State& state) {
    QtWriteLoop(state, GetInputs().savedJpeg, GetInputs().rgb888, "jpeg");
}

void BM_SavePhotoTiff16(benchmark::State& state) {
    SaveLoop(state, GetInputs().savedTiff, GetInputs().deep);
}

void BM_QtWriteTiff16(benchmark::State& state) {
    QtWriteLoop(state, GetInputs().savedTiff, GetInputs().rgbx64, "tiff");
}

void BM_SavePhotoTiff16WithMetadata(benchmark::State& state) {
    SaveLoop(state, GetInputs().savedTiff, GetInputs().deepCamera);
}

// libtiff alone writing what the save writes: 16-bit RGB, LZW with the horizontal predictor, in
// strips of 256 KiB, from the RGB rows made beforehand.
void BM_LibtiffWriteTiff16Lzw(benchmark::State& state) {
    Inputs& inputs = GetInputs();
    const uint32_t rowsPerStrip = 256 * 1024 / (kWidth * 6);
    for (auto _ : state) {
        TIFF* tif = OpenLzwTiff16(inputs.libtiffTiff, rowsPerStrip);
        if (!tif) state.SkipWithError("TIFFOpen failed");
        // The predictor works in place, so each strip is written from a copy, as a save's rows are.
        std::vector<uint16_t> strip(size_t{kWidth} * 3 * rowsPerStrip);
        for (uint32_t y = 0, s = 0; y < kHeight; y += rowsPerStrip, ++s) {
            const uint32_t rows = std::min<uint32_t>(rowsPerStrip, kHeight - y);
            std::copy_n(inputs.rgb16.data() + size_t{kWidth} * 3 * y, size_t{kWidth} * 3 * rows,
                        strip.data());
            if (TIFFWriteEncodedStrip(tif, s, strip.data(), tmsize_t{kWidth} * 6 * rows) < 0) {
                state.SkipWithError("TIFFWriteEncodedStrip failed");
            }
        }
        TIFFClose(tif);
    }
}

}  // namespace

BENCHMARK(BM_LoadPhotoTiff16Lzw)->Apply(FileTiming);
BENCHMARK(BM_LibtiffDecodeTiff16Lzw)->Apply(FileTiming);
BENCHMARK(BM_SavePhotoJpegWithMetadata)->Apply(FileTiming);
BENCHMARK(BM_QtWriteJpeg)->Apply(FileTiming);
BENCHMARK(BM_SavePhotoTiff16)->Apply(FileTiming);
BENCHMARK(BM_QtWriteTiff16)->Apply(FileTiming);
BENCHMARK(BM_SavePhotoTiff16WithMetadata)->Apply(FileTiming);
BENCHMARK(BM_LibtiffWriteTiff16Lzw)->Apply(FileTiming);
