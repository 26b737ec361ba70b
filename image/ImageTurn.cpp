#include "image/ImageTurn.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "parallel/ParallelFor.h"

namespace {

// Turned pictures are made in square tiles of this side: reading a source column pixel by pixel
// would touch a new cache line for each one.
constexpr int32_t kTile = 64;

struct Pixel {
    int64_t x;
    int64_t y;
};

// The source pixel that pixel (x, y) of the turned picture shows, for a width x height source.
Pixel SourceOf(ImageTurn turn, int64_t width, int64_t height, int64_t x, int64_t y) {
    const int64_t turnedWidth = turn.quarterTurns % 2 ? height : width;
    if (turn.mirror) x = turnedWidth - 1 - x;
    switch (turn.quarterTurns) {
        case 1:
            return {y, height - 1 - x};
        case 2:
            return {width - 1 - x, height - 1 - y};
        case 3:
            return {width - 1 - y, x};
        default:
            return {x, y};
    }
}

// The source is read along a straight line for every row of the turned picture: from the byte
// of the turned picture's first pixel, stepX bytes a column and stepY bytes a row.
template <size_t Bytes>
void TurnRows(const C_ImgBuff& source, C_ImgBuff& turned, ptrdiff_t origin, ptrdiff_t stepX,
              ptrdiff_t stepY) {
    const uint32_t tileRows = static_cast<uint32_t>((turned.height + kTile - 1) / kTile);
    ParallelFor(tileRows, [&](uint32_t first, uint32_t count) {
        for (int32_t top = static_cast<int32_t>(first) * kTile;
             top < static_cast<int32_t>(first + count) * kTile && top < turned.height;
             top += kTile) {
            const int32_t bottom = std::min(top + kTile, turned.height);
            for (int32_t left = 0; left < turned.width; left += kTile) {
                const int32_t right = std::min(left + kTile, turned.width);
                for (int32_t y = top; y < bottom; ++y) {
                    uint8_t* to =
                        turned.pixels + (static_cast<size_t>(y) * turned.width + left) * Bytes;
                    ptrdiff_t from = origin + y * stepY + left * stepX;
                    for (int32_t x = left; x < right; ++x, to += Bytes, from += stepX)
                        std::memcpy(to, source.pixels + from, Bytes);
                }
            }
        }
    });
}

}  // namespace

ImageTurn ImageTurn::Then(ImageTurn next) const {
    // A mirror before a turn is the mirror after the opposite turn.
    const int32_t turns = quarterTurns + (mirror ? 4 - next.quarterTurns : next.quarterTurns);
    return ImageTurn{turns % 4, mirror != next.mirror};
}

ImageTurn ImageTurn::Inverse() const {
    // Turned and then mirrored is a mirror along a diagonal or an axis, its own inverse.
    return ImageTurn{mirror ? quarterTurns : (4 - quarterTurns) % 4, mirror};
}

int TurnImage(const C_ImgBuff& source, ImageTurn turn, C_ImgBuff* turned) {
    const bool across = turn.quarterTurns % 2 != 0;
    if (!IsPixelType(source.type) ||
        !turned->Create(across ? source.height : source.width,
                        across ? source.width : source.height, source.type)) {
        turned->Create(0, 0, PT_NONE);
        return 0;
    }
    const auto bytes = static_cast<ptrdiff_t>(kBytesPerPixel[source.type]);
    auto offset = [&](int64_t x, int64_t y) {
        const Pixel p = SourceOf(turn, source.width, source.height, x, y);
        return static_cast<ptrdiff_t>((p.y * source.width + p.x) * bytes);
    };
    const ptrdiff_t origin = offset(0, 0);
    const ptrdiff_t stepX = offset(1, 0) - origin, stepY = offset(0, 1) - origin;
    switch (bytes) {
        case 1:
            TurnRows<1>(source, *turned, origin, stepX, stepY);
            break;
        case 2:
            TurnRows<2>(source, *turned, origin, stepX, stepY);
            break;
        case 3:
            TurnRows<3>(source, *turned, origin, stepX, stepY);
            break;
        case 4:
            TurnRows<4>(source, *turned, origin, stepX, stepY);
            break;
        case 6:
            TurnRows<6>(source, *turned, origin, stepX, stepY);
            break;
        case 12:
            TurnRows<12>(source, *turned, origin, stepX, stepY);
            break;
        default:
            TurnRows<24>(source, *turned, origin, stepX, stepY);
            break;
    }
    return 1;
}
