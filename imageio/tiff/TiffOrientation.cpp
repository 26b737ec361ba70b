#include "imageio/tiff/TiffOrientation.h"

#include <cstring>

#include "image/ImgBuff.h"
#include "parallel/WorkerPool.h"

using namespace tiff_format;

namespace {

struct OrientRowsContext {
    const C_ImgBuff* stored;
    C_ImgBuff* upright;
    TiffOrientation orientation;
};

// Fills rows of the upright picture from the stored one; each upright row is a straight run of
// stored pixels, so only its start and step are worked out per row.
void OrientRowsTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<OrientRowsContext*>(context);
    const TiffOrientation& o = c->orientation;
    const ptrdiff_t pixelBytes = kBytesPerPixel[PT_HSV16];
    const ptrdiff_t storedWidth = c->stored->width;
    const ptrdiff_t storedHeight = c->stored->height;
    const ptrdiff_t rowBytes = storedWidth * pixelBytes;
    const size_t uprightWidth = static_cast<size_t>(c->upright->width);
    for (uint32_t y = first; y < first + count; ++y) {
        ptrdiff_t u, v, step;
        if (o.transposed) {
            u = o.flipX ? storedWidth - 1 - y : y;
            v = o.flipY ? storedHeight - 1 : 0;
            step = o.flipY ? -rowBytes : rowBytes;
        } else {
            u = o.flipX ? storedWidth - 1 : 0;
            v = o.flipY ? storedHeight - 1 - y : y;
            step = o.flipX ? -pixelBytes : pixelBytes;
        }
        const uint8_t* from = c->stored->pixels + v * rowBytes + u * pixelBytes;
        uint8_t* to = c->upright->pixels + y * uprightWidth * pixelBytes;
        for (size_t x = 0; x < uprightWidth; ++x, from += step, to += pixelBytes) {
            std::memcpy(to, from, pixelBytes);
        }
    }
}

// The orientation of a value 1..8; orientation 1 (stored upright) for any other value.
TiffOrientation OrientationFor(uint16_t value) {
    static const TiffOrientation kOrientations[9] = {
        {false, false, false},  // unused
        {false, false, false},  // 1 top-left: as stored
        {false, true, false},   // 2 top-right: mirrored left to right
        {false, true, true},    // 3 bottom-right: turned 180 degrees
        {false, false, true},   // 4 bottom-left: mirrored top to bottom
        {true, false, false},   // 5 left-top: rows stored as columns
        {true, false, true},    // 6 right-top: turned 90 degrees clockwise to display
        {true, true, true},     // 7 right-bottom: transverse
        {true, true, false},    // 8 left-bottom: turned 90 degrees counter-clockwise to display
    };
    return kOrientations[value >= 1 && value <= 8 ? value : 1];
}

}  // namespace

TiffOrientation ReadOrientation(const TiffIfd* ifd) {
    uint16_t value;
    return OrientationFor(GetTiffShortTag(ifd, kTagOrientation, &value) ? value : 1);
}

bool IsUpright(const TiffOrientation& o) {
    return !o.transposed && !o.flipX && !o.flipY;
}

void OrientRows(const C_ImgBuff* stored, C_ImgBuff* upright, const TiffOrientation& o) {
    OrientRowsContext turn{stored, upright, o};
    WorkerPool::Run(OrientRowsTask, &turn, static_cast<unsigned>(upright->height));
}

int TurnTiffUpright(C_ImgBuff* image, uint16_t orientation) {
    const TiffOrientation o = OrientationFor(orientation);
    if (IsUpright(o)) return 1;
    C_ImgBuff upright;
    if (!upright.Create(o.transposed ? image->height : image->width,
                        o.transposed ? image->width : image->height, PT_HSV16)) {
        return 0;
    }
    OrientRows(image, &upright, o);
    image->Swap(upright);
    return 1;
}
