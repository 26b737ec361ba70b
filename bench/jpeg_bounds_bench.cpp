// What a JPEG's scans cost when loaded: a 16-megapixel photo stored plain, progressive as libjpeg
// makes it, and in the most scans per colour component that is still decoded, beside files
// refused before decoding: the photo in 2000 scans, and a small file claiming 15000 x 15000
// pixels. Each reports its time as a multiple of the plain file's (x_plain), timed first in the
// same run. The inputs are made on first use, the scans with jpegtran.
#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryDir>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/BenchPhotos.h"
#include "image/ImgBuff.h"
#include "imageio/PhotoLoader.h"

namespace {

constexpr int kSide = 4000;

struct Files {
    QTemporaryDir dir;
    bool made = false;

    std::string Path(const std::string& name) const {
        return dir.path().toStdString() + "/" + name;
    }
    QByteArray Read(const std::string& name) const {
        QFile file(QString::fromStdString(Path(name)));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bool Write(const std::string& name, const QByteArray& bytes) const {
        QFile file(QString::fromStdString(Path(name)));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

    Files() {
        QImage picture(kSide, kSide, QImage::Format_RGB888);
        std::mt19937 random(1);
        for (int y = 0; y < kSide; ++y) {
            uchar* row = picture.scanLine(y);
            for (int x = 0; x < kSide * 3; ++x)
                row[x] = static_cast<uchar>(PhotoLikeSample(x / 3, y, x % 3, random) >> 8);
        }
        QImageWriter writer(QString::fromStdString(Path("plain.jpg")), "jpeg");
        writer.setQuality(90);
        // Each component's DC in one scan, then its AC coefficients in 31 bands: 32 scans each.
        std::string script = "0 1 2: 0 0 0 0;";
        for (int c = 0; c < 3; ++c) {
            const std::string component = "\n" + std::to_string(c) + ": ";
            for (int k = 1; k < 31; ++k)
                script += component + std::to_string(k) + " " + std::to_string(k) + " 0 0;";
            script += component + "31 63 0 0;";
        }
        if (!writer.write(picture) || !Write("32.txt", QByteArray::fromStdString(script)) ||
            std::system(("cd '" + Path("") +
                         "' && jpegtran -progressive plain.jpg >progressive.jpg && "
                         "jpegtran -scans 32.txt plain.jpg >32-scans.jpg")
                            .c_str()) != 0) {
            return;
        }
        // The last scan (a band of AC coefficients, which libjpeg takes again without a warning)
        // repeated until the file holds 2000.
        const QByteArray scans = Read("32-scans.jpg");
        const qsizetype last = scans.lastIndexOf("\xFF\xDA");
        const QByteArray scan = scans.mid(last, scans.size() - 2 - last);
        QByteArray bomb = scans.left(scans.size() - 2);
        for (int i = 94; i < 2000; ++i) bomb += scan;
        // A 64 x 64 photo whose frame claims 15000 x 15000 pixels (height, then width).
        QByteArray small;
        QBuffer buffer(&small);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter(&buffer, "jpeg").write(picture.copy(0, 0, 64, 64));
        small.replace(small.indexOf("\xFF\xC0") + 5, 4, QByteArray("\x3A\x98\x3A\x98", 4));
        made = Write("2000-scans.jpg", bomb + "\xFF\xD9") && Write("claim.jpg", small);
    }
};

Files& GetFiles() {
    static Files files;
    return files;
}

double plainSeconds = 0;

// Loads the file, which must load (or be refused), and reports the time of one load against the
// plain file's.
void LoadJpeg(benchmark::State& state, const char* name, bool loads) {
    HoldPool();
    if (!GetFiles().made) {
        state.SkipWithError("the inputs could not be made");
        return;
    }
    const std::string path = GetFiles().Path(name);
    CImgBuff target;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (LoadPhoto(path.c_str(), &target) != (loads ? 1 : 0))
            state.SkipWithError(loads ? "not loaded" : "not refused");
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const double each = seconds / static_cast<double>(state.iterations());
    // The last run of the plain file's is the one reported.
    if (std::string(name) == "plain.jpg") plainSeconds = each;
    state.counters["x_plain"] = each / plainSeconds;
}

BENCHMARK_CAPTURE(LoadJpeg, plain, "plain.jpg", true)->Apply(FileTiming);
BENCHMARK_CAPTURE(LoadJpeg, progressive, "progressive.jpg", true)->Apply(FileTiming);
BENCHMARK_CAPTURE(LoadJpeg, most_scans_decoded, "32-scans.jpg", true)->Apply(FileTiming);
BENCHMARK_CAPTURE(LoadJpeg, refused_2000_scans, "2000-scans.jpg", false)->Apply(FileTiming);
BENCHMARK_CAPTURE(LoadJpeg, refused_small_claiming_225mp, "claim.jpg", false)->Apply(FileTiming);

}  // namespace
