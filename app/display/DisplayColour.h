// Showing a photo's colours as its colour profile means them: display bytes converted from the
// photo's ICC profile to the screen's with LittleCMS. The conversion is made once for a pair of
// profiles, into a table of what it makes of every 8-bit colour, so that a picture then costs one
// lookup a pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

class DisplayColour {
  public:
    // The conversion from source (the photo's embedded ICC profile; empty: sRGB) to screen (the
    // screen's; empty: sRGB). Null when it would move no colour by more than a level (the same
    // profile, or two that agree); null with reason set when a profile cannot be used or the
    // table does not fit in memory.
    static std::shared_ptr<const DisplayColour> Make(std::span<const uint8_t> source,
                                                     std::span<const uint8_t> screen,
                                                     std::string* reason);

    // Converts, in place and on the worker pool, height rows of width pixels stride bytes apart,
    // each pixel of pixelBytes: 3 (blue, green, red), or 4 with a fourth byte left as it is (Qt's
    // RGB32 on this host).
    void Convert(uint8_t* first, size_t stride, int32_t width, int32_t height,
                 int pixelBytes) const;

  private:
    DisplayColour() = default;
    // What the conversion makes of each colour, indexed and packed as blue | green << 8 | red
    // << 16.
    std::vector<uint32_t> table;
};
