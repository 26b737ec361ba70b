// Showing a photo's colours as its colour profile means them: display bytes converted from the
// photo's ICC profile to the screen's with LittleCMS. The conversion is made once for a pair of
// profiles and then applied to every picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

// Why the colours are shown as stored although colour management is on.
enum class ColourProblem {
    None,
    PhotoProfileNotIcc,
    PhotoProfileNotRgb,
    ScreenProfileNotIcc,
    ScreenProfileNotRgb,
    NoConversion,  // LittleCMS cannot convert from the one to the other
};

class DisplayColour {
  public:
    // The conversion from source (the photo's embedded ICC profile; empty: sRGB) to screen (the
    // screen's; empty: sRGB). Null when it would move no colour by more than a level (the same
    // profile, or two that agree); null with problem set when a profile cannot be used.
    static std::shared_ptr<const DisplayColour> Make(std::span<const uint8_t> source,
                                                     std::span<const uint8_t> screen,
                                                     ColourProblem* problem);
    ~DisplayColour();
    DisplayColour(const DisplayColour&) = delete;
    DisplayColour& operator=(const DisplayColour&) = delete;

    // Converts, in place and on the worker pool, height rows of width pixels stride bytes apart,
    // each pixel of pixelBytes: 3 (blue, green, red), or 4 with a fourth byte left as it is (Qt's
    // RGB32 on this host).
    void Convert(uint8_t* first, size_t stride, int32_t width, int32_t height,
                 int pixelBytes) const;

  private:
    DisplayColour() = default;
    // LittleCMS's, from 8-bit blue, green, red to the same, for 3- and 4-byte pixels.
    void* bgr = nullptr;
    void* bgra = nullptr;
};
