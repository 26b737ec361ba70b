// Replays every file of fuzz-regressions/ (inputs that once broke a reader, and inputs the
// fuzzer found reaching deep into it) through each way a TIFF file is read: the own reader on the
// bytes and LoadPhoto on the file, which falls back to libtiff. Each must load whole or be
// refused, leaving the earlier picture (or, past the buffer's making, an empty one).
#include <QDirIterator>

#include <string>

#include "imageio/PhotoLoader.h"
#include "imageio/tiff/TiffReader.h"
#include "parallel/WorkerPool.h"
#include "tests/imageio/PhotoFiles.h"

namespace {

TEST(FuzzRegressions, EveryFileLoadsWholeOrIsRefused) {
    WorkerPool::Acquire();
    C_ImgBuff earlier;
    MakeReference(RandomPicture(3, 2, 9), &earlier);
    ScratchFolder folder;
    const std::string copy = folder.Path("input.tif");
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

        // Under a TIFF name, so that the own reader sees it before Qt's.
        ASSERT_TRUE(folder.Write("input.tif", bytes));
        target.buffer->Copy(earlier);
        expectWholeOrRefused(LoadPhoto(copy.c_str(), &target), *target.buffer, path);
    }
    EXPECT_GT(files, 0) << "no files in " << LUMIVEX_FUZZ_REGRESSIONS;
    WorkerPool::Release();
}

}  // namespace
