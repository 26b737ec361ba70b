#include "app/display/DisplayColour.h"

#include <lcms2.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <utility>
#include <vector>

#include "parallel/ParallelFor.h"

namespace {

struct ProfileCloser {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

// The RGB profile held in bytes, sRGB for none; null with problem set when there is none to use:
// notIcc or notRgb.
Profile OpenProfile(std::span<const uint8_t> bytes, ColourProblem notIcc, ColourProblem notRgb,
                    ColourProblem* problem) {
    Profile profile;
    if (bytes.empty()) {
        profile.reset(cmsCreate_sRGBProfile());
    } else if (bytes.size() <= std::numeric_limits<cmsUInt32Number>::max()) {
        profile.reset(
            cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size())));
    }
    if (!profile) {
        *problem = notIcc;
    } else if (cmsGetColorSpace(profile.get()) != cmsSigRgbData) {
        *problem = notRgb;
        profile.reset();
    }
    return profile;
}

// Whether transform moves a colour by more than a level, tried on every colour whose levels are
// multiples of 5 (0 and 255 among them).
bool MovesColours(cmsHTRANSFORM transform) {
    std::vector<uint8_t> grid;
    for (int r = 0; r <= 255; r += 5) {
        for (int g = 0; g <= 255; g += 5) {
            for (int b = 0; b <= 255; b += 5)
                grid.insert(grid.end(), {uint8_t(b), uint8_t(g), uint8_t(r), 255});
        }
    }
    std::vector<uint8_t> converted(grid.size());
    cmsDoTransform(transform, grid.data(), converted.data(),
                   static_cast<cmsUInt32Number>(grid.size() / 4));
    for (size_t i = 0; i < grid.size(); ++i) {
        if (i % 4 != 3 && std::abs(converted[i] - grid[i]) > 1) return true;
    }
    return false;
}

}  // namespace

std::shared_ptr<const DisplayColour> DisplayColour::Make(std::span<const uint8_t> source,
                                                         std::span<const uint8_t> screen,
                                                         ColourProblem* problem) {
    *problem = ColourProblem::None;
    if (source.size() == screen.size() && std::equal(source.begin(), source.end(), screen.begin()))
        return nullptr;
    const Profile from = OpenProfile(source, ColourProblem::PhotoProfileNotIcc,
                                     ColourProblem::PhotoProfileNotRgb, problem);
    const Profile to = from ? OpenProfile(screen, ColourProblem::ScreenProfileNotIcc,
                                          ColourProblem::ScreenProfileNotRgb, problem)
                            : Profile();
    if (!to) return nullptr;
    std::shared_ptr<DisplayColour> colour(new DisplayColour);
    // Perceptual, as viewers and ImageMagick convert by default.
    for (auto [transform, format] :
         {std::pair{&colour->bgr, TYPE_BGR_8}, {&colour->bgra, TYPE_BGRA_8}}) {
        *transform = cmsCreateTransform(from.get(), format, to.get(), format, INTENT_PERCEPTUAL, 0);
        if (!*transform) {
            *problem = ColourProblem::NoConversion;
            return nullptr;
        }
    }
    if (!MovesColours(colour->bgra)) return nullptr;
    return colour;
}

DisplayColour::~DisplayColour() {
    for (void* transform : {bgr, bgra}) {
        if (transform) cmsDeleteTransform(transform);
    }
}

void DisplayColour::Convert(uint8_t* first, size_t stride, int32_t width, int32_t height,
                            int pixelBytes) const {
    void* transform = pixelBytes == 3 ? bgr : bgra;
    if (width < 1 || height < 1) return;
    // LittleCMS keeps its per-pixel cache on the caller's stack: one transform serves every
    // worker at once.
    ParallelFor(static_cast<uint32_t>(height), [&](uint32_t y, uint32_t count) {
        uint8_t* row = first + stride * y;
        cmsDoTransformLineStride(transform, row, row, static_cast<cmsUInt32Number>(width), count,
                                 static_cast<cmsUInt32Number>(stride),
                                 static_cast<cmsUInt32Number>(stride), 0, 0);
    });
}
