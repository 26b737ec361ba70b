// Replays every file of fuzz-regressions/ (inputs that once broke a reader, and inputs the
// fuzzer found reaching deep into it) through every photo reader: the own TIFF reader on the
// bytes, LoadPhoto on the file named as a TIFF (the own reader first) and named as nothing (its
// first bytes choose), and its metadata embedded into a small JPEG. Each must load whole or be
// refused, leaving the earlier picture (or, past the buffer's making, an empty one).
#include <QBuffer>
#include <QDirIterator>

#include <string>

#include "imageio/PhotoLoader.h"
#include "imageio/PhotoMetadata.h"
#include "imageio/tiff/TiffReader.h"
#include "parallel/WorkerPool.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

TEST(FuzzRegressions, EveryFileLoadsWholeOrIsRefused) {
    WorkerPool::Acquire();
    C_ImgBuff earlier;
    MakeReference(RandomPicture(3, 2, 9), &earlier);
    ScratchFolder folder;
    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) &&
                    RandomPicture(3, 2, 1).save(&buffer, "jpeg"));
    }
    // 1 with a whole HSV picture, 0 with the earlier picture or an empty one.
    auto expectWholeOrRefused = [&](int loaded, const C_ImgBuff& got, const QString& file) {
        EXPECT_TRUE(loaded ? got.type == PT_HSV16 && int64_t(got.width) * got.height > 0
                           : got.type == PT_NONE || SameImage(got, earlier))
            << file.toStdString() << (loaded ? " loaded" : " refused");
    };
    int files = 0;
    for (QDirIterator it(LUMIVEX_FUZZ_REGRESSIONS, QDir::Files); it.hasNext(); ++files) {
        const QString path = it.next();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        const QByteArray bytes = file.readAll();

        CImgBuff target;
        target.buffer->Copy(earlier);
        if (TiffFile* tiff = MakeTiffFile(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                          static_cast<size_t>(bytes.size()))) {
            expectWholeOrRefused(LoadTiffFile(tiff, &target), *target.buffer, path);
            FreeTiffFile(tiff);
        }

        // Under a TIFF name, so that the own reader sees it before Qt's, and under none.
        for (const char* name : {"input.tif", "input"}) {
            ASSERT_TRUE(folder.Write(name, bytes));
            target.buffer->Copy(earlier);
            PhotoOrigin origin;
            expectWholeOrRefused(
                LoadPhoto(folder.Path(name).c_str(), &target, nullptr, {}, &origin), *target.buffer,
                path);
            QByteArray small = jpeg;
            std::string reason;
            EmbedPhotoMetadata(origin, true, 3, 2, &small, &reason);
        }
    }
    EXPECT_GT(files, 0) << "no files in " << LUMIVEX_FUZZ_REGRESSIONS;
    WorkerPool::Release();
}

}  // namespace
