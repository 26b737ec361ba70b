// Photo loading and saving at camera size (6000 x 4000), each beside Qt's reader or writer alone
// on the same file, so that the program's own share shows. The inputs are made on first use.
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "app/display/DisplayDib.h"
#include "image/ImgBuff.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoSaver.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

// Smooth colour fields with a little noise, which compresses about like a photo.
uint16_t Sample(int x, int y, int channel, std::mt19937& random) {
    const double wave = std::sin(x * (0.0021 + channel * 0.0007)) * std::cos(y * 0.0017 + channel);
    const double value = 32768.0 + 26000.0 * wave + static_cast<int>(random() % 2048) - 1024;
    return static_cast<uint16_t>(std::clamp(value, 0.0, 65535.0));
}

struct Inputs {
    QTemporaryDir dir;
    std::string jpeg = dir.path().toStdString() + "/photo.jpg";
    std::string tiff = dir.path().toStdString() + "/photo16.tif";
    std::string saved = dir.path().toStdString() + "/saved.jpg";
    QImage rgb888;  // the 8-bit picture, as Qt's writer takes it
    CImgBuff hsv;   // the same picture as the program holds it

    Inputs() {
        QImage wide(kWidth, kHeight, QImage::Format_RGBX64);
        std::mt19937 random(1);
        for (int y = 0; y < kHeight; ++y) {
            auto* row = reinterpret_cast<uint16_t*>(wide.scanLine(y));
            for (int x = 0; x < kWidth; ++x) {
                for (int c = 0; c < 3; ++c) row[x * 4 + c] = Sample(x, y, c, random);
                row[x * 4 + 3] = 0xFFFF;
            }
        }
        QImageWriter tiffWriter(QString::fromStdString(tiff), "tiff");
        tiffWriter.write(wide);
        rgb888 = wide.convertToFormat(QImage::Format_RGB888);
        QImageWriter jpegWriter(QString::fromStdString(jpeg), "jpeg");
        jpegWriter.setQuality(90);
        jpegWriter.write(rgb888);
        LoadPhoto(jpeg.c_str(), &hsv);
    }
};

Inputs& GetInputs() {
    static Inputs inputs;
    return inputs;
}

void LoadPhotoBench(benchmark::State& state, const std::string& path) {
    CImgBuff target;
    for (auto _ : state) {
        if (!LoadPhoto(path.c_str(), &target)) state.SkipWithError("LoadPhoto failed");
    }
    uint16_t h, s, v;
    target.buffer->GetHSV16(kWidth / 2, kHeight / 2, &h, &s, &v);
    state.SetLabel(v % 257 == 0 ? "8-bit samples" : "16-bit samples");
}

void QtReadBench(benchmark::State& state, const std::string& path) {
    for (auto _ : state) {
        QImageReader reader(QString::fromStdString(path));
        reader.setAutoTransform(true);
        const QImage picture = reader.read();
        if (picture.isNull()) state.SkipWithError("QImageReader failed");
        benchmark::DoNotOptimize(picture.constBits());
    }
}

void BM_LoadPhotoJpeg(benchmark::State& state) {
    LoadPhotoBench(state, GetInputs().jpeg);
}
void BM_QtReadJpeg(benchmark::State& state) {
    QtReadBench(state, GetInputs().jpeg);
}
void BM_LoadPhotoTiff16(benchmark::State& state) {
    LoadPhotoBench(state, GetInputs().tiff);
}
void BM_QtReadTiff16(benchmark::State& state) {
    QtReadBench(state, GetInputs().tiff);
}

void BM_SavePhotoJpeg(benchmark::State& state) {
    Inputs& inputs = GetInputs();
    for (auto _ : state) {
        if (!SavePhoto(inputs.saved.c_str(), &inputs.hsv)) state.SkipWithError("SavePhoto failed");
    }
}

void BM_QtWriteJpeg(benchmark::State& state) {
    Inputs& inputs = GetInputs();
    for (auto _ : state) {
        QImageWriter writer(QString::fromStdString(inputs.saved), "jpeg");
        if (!writer.write(inputs.rgb888)) state.SkipWithError("QImageWriter failed");
    }
}

// The largest of the program's own steps of a load after Qt's decoder: PT_RGB8 to PT_HSV16.
void BM_LoadStepConvertToHsv(benchmark::State& state) {
    const QImage& picture = GetInputs().rgb888;
    C_ImgBuff rgb;
    rgb.Create(kWidth, kHeight, PT_RGB8);
    for (int y = 0; y < kHeight; ++y) {
        std::memcpy(rgb.pixels + static_cast<size_t>(y) * kWidth * 3, picture.constScanLine(y),
                    kWidth * 3);
    }
    C_ImgBuff working;
    for (auto _ : state) {
        state.PauseTiming();
        working.Copy(rgb);
        state.ResumeTiming();
        if (!working.ConvertType(PT_HSV16)) state.SkipWithError("ConvertType failed");
    }
}

// The parts of a save before the encoder: the display bitmap, then turning its bottom-up BGR
// rows into a picture Qt's writer takes, three ways.
void BM_SaveStepMakeDisplayDib(benchmark::State& state) {
    Inputs& inputs = GetInputs();
    for (auto _ : state) {
        DibHeader* dib = MakeDisplayDib(&inputs.hsv, nullptr);
        benchmark::DoNotOptimize(dib);
        FreeDisplayDib(dib);
    }
}

enum class Wrap { OwnRowsInPlace, QtInPlace, QtCopy };

void WrapBench(benchmark::State& state, Wrap how) {
    DibHeader* dib = MakeDisplayDib(&GetInputs().hsv, nullptr);
    const qsizetype stride = DibStride(dib->width, 24);
    for (auto _ : state) {
        if (how == Wrap::OwnRowsInPlace) {
            const QImage picture = WrapDisplayDib(dib);
            benchmark::DoNotOptimize(picture.constBits());
        } else if (how == Wrap::QtInPlace) {
            QImage picture(DibPixels(dib), dib->width, dib->height, stride, QImage::Format_RGB888);
            picture.mirror();
            picture.rgbSwap();
            benchmark::DoNotOptimize(picture.constBits());
        } else {
            const QImage view(static_cast<const uchar*>(DibPixels(dib)), dib->width, dib->height,
                              stride, QImage::Format_BGR888);
            const QImage picture = view.mirrored().rgbSwapped();
            benchmark::DoNotOptimize(picture.constBits());
        }
    }
    FreeDisplayDib(dib);
}

void BM_SaveStepWrapOwnRowsInPlace(benchmark::State& state) {
    WrapBench(state, Wrap::OwnRowsInPlace);
}
void BM_SaveStepWrapQtInPlace(benchmark::State& state) {
    WrapBench(state, Wrap::QtInPlace);
}
void BM_SaveStepWrapQtCopy(benchmark::State& state) {
    WrapBench(state, Wrap::QtCopy);
}

}  // namespace

BENCHMARK(BM_LoadPhotoJpeg)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_QtReadJpeg)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_LoadPhotoTiff16)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_QtReadTiff16)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_SavePhotoJpeg)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_QtWriteJpeg)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_LoadStepConvertToHsv)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_SaveStepMakeDisplayDib)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_SaveStepWrapOwnRowsInPlace)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(1.0)
    ->UseRealTime();
BENCHMARK(BM_SaveStepWrapQtInPlace)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_SaveStepWrapQtCopy)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
