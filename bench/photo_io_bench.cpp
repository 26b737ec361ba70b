// Photo loading and saving at camera size (6000 x 4000), each beside Qt's reader or writer alone
// on the same file, so that the program's own share shows. The inputs are made on first use.
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QTemporaryDir>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/BenchPhotos.h"
#include "image/ImgBuff.h"
#include "imageio/JpegEncoder.h"
#include "imageio/PhotoLoader.h"
#include "imageio/PhotoSaver.h"
#include "parallel/WorkerPool.h"

namespace {

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;

struct Inputs {
    QTemporaryDir dir;
    std::string jpeg = dir.path().toStdString() + "/photo.jpg";
    std::string turned = dir.path().toStdString() + "/turned.jpg";  // EXIF Orientation 6
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
                for (int c = 0; c < 3; ++c) row[x * 4 + c] = PhotoLikeSample(x, y, c, random);
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
        // An EXIF block holding only Orientation 6, right after the start of the picture.
        static const char kExif[] =
            "\xFF\xE1\x00\x22"
            "Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0";
        QFile in(QString::fromStdString(jpeg)), out(QString::fromStdString(turned));
        if (in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly)) {
            const QByteArray bytes = in.readAll();
            out.write(bytes.left(2) + QByteArray(kExif, sizeof kExif - 1) + bytes.mid(2));
        }
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
// The same photo stored upright (1) and sideways with EXIF Orientation 6 (6), loaded upright.
void BM_LoadJpegOrientation(benchmark::State& state) {
    LoadPhotoBench(state, state.range(0) == 6 ? GetInputs().turned : GetInputs().jpeg);
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

// The program's own step of a load after Qt's decoder: decoded 32-bit rows to PT_HSV16, beside
// the generic whole-buffer conversion from PT_RGB8 that gives the same pixels.
void BM_LoadStepRowsToHsv(benchmark::State& state) {
    const QImage picture = GetInputs().rgb888.convertToFormat(QImage::Format_RGB32);
    C_ImgBuff hsv;
    hsv.Create(kWidth, kHeight, PT_HSV16);
    DecodedRowsContext rows{picture.constBits(), static_cast<ptrdiff_t>(picture.bytesPerLine()),
                            kWidth, 0, reinterpret_cast<uint16_t*>(hsv.pixels)};
    for (auto _ : state) WorkerPool::Run(DecodedRowsToHsvTask, &rows, kHeight);
}

void BM_LoadStepConvertTypeToHsv(benchmark::State& state) {
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

// The JPEG encoder on its own, fed the rows Qt's writer takes, beside BM_QtWriteJpeg.
void BM_EncodeJpegRows(benchmark::State& state) {
    const QImage& picture = GetInputs().rgb888;
    const JpegPicture header{
        kWidth, kHeight, false, -1, picture.dotsPerMeterX(), picture.dotsPerMeterY()};
    QByteArray encoded;
    for (auto _ : state) {
        EncodeJpeg(
            header,
            [&](uint32_t first, uint32_t count, uint8_t* rows, size_t stride) {
                for (uint32_t i = 0; i < count; ++i) {
                    std::memcpy(rows + i * stride, picture.constScanLine(first + i), kWidth * 3);
                }
                return true;
            },
            &encoded, nullptr);
    }
}

// The program's own step of a PNG, TIFF or BMP save before Qt's encoder: PT_HSV16 to the encoder's
// 8-bit rows (a JPEG save makes the same rows band by band beside its encoder).
void BM_SaveStepMakeEncoderImage(benchmark::State& state) {
    Inputs& inputs = GetInputs();
    for (auto _ : state) {
        const QImage picture = MakeEncoderImage(*inputs.hsv.buffer);
        benchmark::DoNotOptimize(picture.constBits());
    }
}

}  // namespace

BENCHMARK(BM_LoadPhotoJpeg)->Apply(FileTiming);
BENCHMARK(BM_LoadJpegOrientation)->Arg(1)->Arg(6)->Apply(FileTiming);
BENCHMARK(BM_QtReadJpeg)->Apply(FileTiming);
BENCHMARK(BM_LoadPhotoTiff16)->Apply(FileTiming);
BENCHMARK(BM_QtReadTiff16)->Apply(FileTiming);
BENCHMARK(BM_SavePhotoJpeg)->Apply(FileTiming);
BENCHMARK(BM_QtWriteJpeg)->Apply(FileTiming);
BENCHMARK(BM_LoadStepRowsToHsv)->Apply(FileTiming);
BENCHMARK(BM_LoadStepConvertTypeToHsv)->Apply(FileTiming);
BENCHMARK(BM_EncodeJpegRows)->Apply(FileTiming);
BENCHMARK(BM_SaveStepMakeEncoderImage)->Apply(FileTiming);
