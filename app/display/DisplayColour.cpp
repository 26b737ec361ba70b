#include "app/display/DisplayColour.h"

#include <lcms2.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "parallel/ParallelFor.h"

namespace {

struct ProfileCloser {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

// The RGB profile held in bytes, sRGB for none; null with reason set when there is none to use.
Profile OpenProfile(std::span<const uint8_t> bytes, const char* whose, std::string* reason) {
    Profile profile;
    if (bytes.empty()) {
        profile.reset(cmsCreate_sRGBProfile());
    } else if (bytes.size() <= std::numeric_limits<cmsUInt32Number>::max()) {
        profile.reset(
            cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size())));
    }
    if (!profile) {
        *reason = std::string(whose) + " colour profile is not an ICC profile";
    } else if (cmsGetColorSpace(profile.get()) != cmsSigRgbData) {
        *reason = std::string(whose) + " colour profile is not an RGB one";
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
                                                         std::string* reason) {
    reason->clear();
    if (source.size() == screen.size() && std::equal(source.begin(), source.end(), screen.begin()))
        return nullptr;
    const Profile from = OpenProfile(source, "the photo's", reason);
    const Profile to = from ? OpenProfile(screen, "the screen's", reason) : Profile();
    if (!to) return nullptr;
    // Perceptual, as viewers and ImageMagick convert by default.
    const std::unique_ptr<void, decltype(&cmsDeleteTransform)> transform(
        cmsCreateTransform(from.get(), TYPE_BGRA_8, to.get(), TYPE_BGRA_8, INTENT_PERCEPTUAL, 0),
        &cmsDeleteTransform);
    if (!transform) {
        *reason = "LittleCMS cannot convert from the photo's colour profile to the screen's";
        return nullptr;
    }
    if (!MovesColours(transform.get())) return nullptr;
    std::shared_ptr<DisplayColour> colour(new (std::nothrow) DisplayColour);
    try {
        if (colour) colour->table.resize(size_t{1} << 24);
    } catch (const std::bad_alloc&) {
        colour.reset();
    }
    if (!colour) {
        *reason = "not enough memory to convert the colours";
        return nullptr;
    }
    // Each red level's 65536 colours at a time; LittleCMS keeps its per-pixel cache on the
    // caller's stack, so one transform serves every worker at once.
    uint32_t* table = colour->table.data();
    ParallelFor(256, [&](uint32_t firstRed, uint32_t count) {
        for (uint32_t red = firstRed; red < firstRed + count; ++red) {
            uint32_t* slab = table + (red << 16);
            for (uint32_t i = 0; i < 65536; ++i) slab[i] = i | red << 16;
            cmsDoTransform(transform.get(), slab, slab, 65536);
            for (uint32_t i = 0; i < 65536; ++i) slab[i] &= 0xFFFFFF;
        }
    });
    return colour;
}

void DisplayColour::Convert(uint8_t* first, size_t stride, int32_t width, int32_t height,
                            int pixelBytes) const {
    if (width < 1 || height < 1) return;
    const uint32_t* colours = table.data();
    ParallelFor(static_cast<uint32_t>(height), [&](uint32_t y, uint32_t count) {
        for (uint32_t row = y; row < y + count; ++row) {
            uint8_t* pixel = first + stride * row;
            for (int32_t x = 0; x < width; ++x, pixel += pixelBytes) {
                const uint32_t converted =
                    colours[pixel[0] | uint32_t{pixel[1]} << 8 | uint32_t{pixel[2]} << 16];
                pixel[0] = static_cast<uint8_t>(converted);
                pixel[1] = static_cast<uint8_t>(converted >> 8);
                pixel[2] = static_cast<uint8_t>(converted >> 16);
            }
        }
    });
}
