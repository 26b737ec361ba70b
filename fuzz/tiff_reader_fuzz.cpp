// libFuzzer target for the TIFF readers: every input is taken as a whole file and loaded by the
// own reader, and by libtiff when the own reader refuses it, as loading does. The own reader's
// pixel fetches are also driven directly, outside the checks the loader makes first, since they
// must stay within the file on their own.
#include <cstddef>
#include <cstdint>

#include "image/ImgBuff.h"
#include "imageio/tiff/LibTiffDecoder.h"
#include "imageio/tiff/TiffReader.h"
#include "imageio/tiff/TiffReaderTesting.h"
#include "parallel/WorkerPool.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One reference for the whole run, so that the buffers made per input do not build and tear
    // down the pool every time.
    WorkerPool::Acquire();
    return 0;
}

namespace {

// Compressed data may declare any size; past this the run would only measure allocation.
constexpr uint64_t kFuzzMaxPixels = 4u << 20;

void FetchCorners(const TiffIfd* ifd, const uint8_t* data, size_t size) {
    TiffImageInfo info;
    if (!ReadTiffImageInfo(ifd, &info)) return;
    const uint32_t w = info.imageWidth, h = info.imageLength;
    // The last input bytes pick one more position, which may lie outside the image.
    const uint32_t px = size >= 2 ? data[size - 2] * 0x01010101u : 0;
    const uint32_t py = size >= 1 ? data[size - 1] * 0x00010001u : 0;
    const uint32_t xs[] = {0, w - 1, w, px};
    const uint32_t ys[] = {0, h - 1, h, py};
    for (uint32_t x : xs) {
        for (uint32_t y : ys) {
            uint8_t r8, g8, b8;
            uint16_t r16, g16, b16;
            GetTiffPixel8(&info, x, y, &r8, &g8, &b8);
            GetTiffPixel16(&info, x, y, &r16, &g16, &b16);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TiffFile* file = MakeTiffFile(data, size);
    if (!file) return 0;
    TiffIfd ifd;
    if (OpenTiffIfd(file, &ifd)) FetchCorners(&ifd, data, size);
    CImgBuff target;
    if (!LoadTiffFile(file, &target))
        DecodeTiffWithLibtiff(data, size, kFuzzMaxPixels, &target, nullptr);
    FreeTiffFile(file);
    return 0;
}
