// Single-pixel access. Every pixel type has a native RGB view at its own sample width (a grey
// value repeated in three channels, the stored channels, or the RGB derived from XYZ, HSV or
// CMYK); reading and writing in another representation changes the width of that view by
// repeating or dropping bytes. Luma is the one step whose place matters: stored 8- and 16-bit
// RGB is widened before the weighting, while a derived or finished luma is widened afterwards.
#include <cstddef>

#include "image/ColorModel.h"
#include "image/ImgBuff.h"
#include "image/PixelSamples.h"

using namespace pixel_samples;

namespace {

// Sample widths in bits.
constexpr int kBits8 = 8;
constexpr int kBits16 = 16;
constexpr int kBits32 = 32;

bool Inside(const C_ImgBuff& image, int32_t x, int32_t y) {
    return x >= 0 && y >= 0 && x < image.width && y < image.height;
}

uint8_t* PixelAddress(const C_ImgBuff& image, int32_t x, int32_t y) {
    const size_t index =
        static_cast<size_t>(y) * static_cast<size_t>(image.width) + static_cast<size_t>(x);
    return image.pixels + index * kBytesPerPixel[image.type];
}

// Repeats bytes to widen, keeps the most significant bytes to narrow.
uint32_t Requantize(uint32_t v, int from, int to) {
    if (from == to) return v;
    if (from == kBits8) return to == kBits16 ? v * 257u : v * 16843009u;
    if (from == kBits16) return to == kBits8 ? v >> 8 : v * 65537u;
    return to == kBits8 ? v >> 24 : v >> 16;
}

uint32_t LumaAt(int bits, const uint32_t rgb[3]) {
    return bits == kBits32 ? Luma32(rgb[0], rgb[1], rgb[2]) : Luma(rgb[0], rgb[1], rgb[2]);
}

// Grey of an RGB triple of the given width at the target width.
uint32_t GreyOf(const uint32_t rgb[3], int bits, int targetBits, bool widenChannelsFirst) {
    if (widenChannelsFirst && targetBits > bits) {
        const uint32_t wide[3] = {Requantize(rgb[0], bits, targetBits),
                                  Requantize(rgb[1], bits, targetBits),
                                  Requantize(rgb[2], bits, targetBits)};
        return LumaAt(targetBits, wide);
    }
    return Requantize(LumaAt(bits, rgb), bits, targetBits);
}

// The native RGB view of the pixel at p; returns its sample width.
int ReadNativeRgb(const uint8_t* p, PixelType type, uint32_t rgb[3]) {
    switch (type) {
        case PT_GRAY8:
            rgb[0] = rgb[1] = rgb[2] = p[0];
            return kBits8;
        case PT_GRAY16:
            rgb[0] = rgb[1] = rgb[2] = Load16(p);
            return kBits16;
        case PT_GRAY32:
            rgb[0] = rgb[1] = rgb[2] = Load32(p);
            return kBits32;
        case PT_RGB8:
            rgb[0] = p[0];
            rgb[1] = p[1];
            rgb[2] = p[2];
            return kBits8;
        case PT_RGB16:
            rgb[0] = Load16(p);
            rgb[1] = Load16(p + 2);
            rgb[2] = Load16(p + 4);
            return kBits16;
        case PT_RGB32:
            rgb[0] = Load32(p);
            rgb[1] = Load32(p + 4);
            rgb[2] = Load32(p + 8);
            return kBits32;
        case PT_XYZ:
            XyzToRgb32(LoadDouble(p), LoadDouble(p + 8), LoadDouble(p + 16), &rgb[0], &rgb[1],
                       &rgb[2]);
            return kBits32;
        case PT_HSV16: {
            uint16_t r;
            uint16_t g;
            uint16_t b;
            HsvToRgb16(Load16(p), Load16(p + 2), Load16(p + 4), &r, &g, &b);
            rgb[0] = r;
            rgb[1] = g;
            rgb[2] = b;
            return kBits16;
        }
        default:
            rgb[0] = CmykToRgbChannel(p[0], p[3]);
            rgb[1] = CmykToRgbChannel(p[1], p[3]);
            rgb[2] = CmykToRgbChannel(p[2], p[3]);
            return kBits8;
    }
}

// Stored RGB widens its channels before the luma; grey types give the same either way.
bool WidensChannelsFirst(PixelType type) {
    return type != PT_XYZ && type != PT_HSV16 && type != PT_CMYK8;
}

uint32_t ReadGrey(const uint8_t* p, PixelType type, int targetBits) {
    uint32_t rgb[3];
    const int bits = ReadNativeRgb(p, type, rgb);
    return GreyOf(rgb, bits, targetBits, WidensChannelsFirst(type));
}

void ReadRgb(const uint8_t* p, PixelType type, int targetBits, uint32_t out[3]) {
    uint32_t rgb[3];
    const int bits = ReadNativeRgb(p, type, rgb);
    for (int i = 0; i < 3; ++i) out[i] = Requantize(rgb[i], bits, targetBits);
}

// Writes an RGB triple of the given width into the pixel at p. Luma for a wider grey type is
// taken of widened channels or widened afterwards, as the caller says.
void WriteRgb(uint8_t* p, PixelType type, const uint32_t rgb[3], int bits,
              bool widenChannelsFirst) {
    switch (type) {
        case PT_GRAY8:
            p[0] = static_cast<uint8_t>(GreyOf(rgb, bits, kBits8, widenChannelsFirst));
            break;
        case PT_GRAY16:
            Store16(p, GreyOf(rgb, bits, kBits16, widenChannelsFirst));
            break;
        case PT_GRAY32:
            Store32(p, GreyOf(rgb, bits, kBits32, widenChannelsFirst));
            break;
        case PT_RGB8:
            for (int i = 0; i < 3; ++i)
                p[i] = static_cast<uint8_t>(Requantize(rgb[i], bits, kBits8));
            break;
        case PT_RGB16:
            for (int i = 0; i < 3; ++i) Store16(p + 2 * i, Requantize(rgb[i], bits, kBits16));
            break;
        case PT_RGB32:
            for (int i = 0; i < 3; ++i) Store32(p + 4 * i, Requantize(rgb[i], bits, kBits32));
            break;
        case PT_XYZ: {
            double xyz[3];
            Rgb32ToXyz(Requantize(rgb[0], bits, kBits32), Requantize(rgb[1], bits, kBits32),
                       Requantize(rgb[2], bits, kBits32), &xyz[0], &xyz[1], &xyz[2]);
            for (int i = 0; i < 3; ++i) StoreDouble(p + 8 * i, xyz[i]);
            break;
        }
        case PT_HSV16: {
            uint16_t h;
            uint16_t s;
            uint16_t v;
            RgbToHsv16(static_cast<uint16_t>(Requantize(rgb[0], bits, kBits16)),
                       static_cast<uint16_t>(Requantize(rgb[1], bits, kBits16)),
                       static_cast<uint16_t>(Requantize(rgb[2], bits, kBits16)), &h, &s, &v);
            Store16(p, h);
            Store16(p + 2, s);
            Store16(p + 4, v);
            break;
        }
        default:
            RgbToCmyk(Requantize(rgb[0], bits, kBits8), Requantize(rgb[1], bits, kBits8),
                      Requantize(rgb[2], bits, kBits8), p);
            break;
    }
}

// Stores channels given at 8 or 16 bits, of which only the low bits of each argument count.
int SetStoredRgb(C_ImgBuff& image, int32_t x, int32_t y, uint32_t r, uint32_t g, uint32_t b,
                 int bits) {
    if (!Inside(image, x, y) || !IsPixelType(image.type)) return 0;
    const uint32_t mask = (1u << bits) - 1u;
    const uint32_t rgb[3] = {r & mask, g & mask, b & mask};
    WriteRgb(PixelAddress(image, x, y), image.type, rgb, bits, true);
    return 1;
}

// Grey and RGB getters read at the width of their output type.
template <typename Sample>
int GetGreyAt(const C_ImgBuff& image, int32_t x, int32_t y, Sample* grey) {
    if (!Inside(image, x, y)) return 0;
    if (!grey) return 1;
    if (!IsPixelType(image.type)) return 0;
    *grey = static_cast<Sample>(
        ReadGrey(PixelAddress(image, x, y), image.type, 8 * static_cast<int>(sizeof(Sample))));
    return 1;
}

template <typename Sample>
int GetRgbAt(const C_ImgBuff& image, int32_t x, int32_t y, Sample* r, Sample* g, Sample* b) {
    if (!Inside(image, x, y) || !IsPixelType(image.type)) return 0;
    uint32_t rgb[3];
    ReadRgb(PixelAddress(image, x, y), image.type, 8 * static_cast<int>(sizeof(Sample)), rgb);
    if (r) *r = static_cast<Sample>(rgb[0]);
    if (g) *g = static_cast<Sample>(rgb[1]);
    if (b) *b = static_cast<Sample>(rgb[2]);
    return 1;
}

}  // namespace

int C_ImgBuff::SetGray8(int32_t x, int32_t y, uint32_t grey) {
    return SetStoredRgb(*this, x, y, grey, grey, grey, kBits8);
}

int C_ImgBuff::GetGray8(int32_t x, int32_t y, uint8_t* grey) const {
    return GetGreyAt(*this, x, y, grey);
}

int C_ImgBuff::SetGray16(int32_t x, int32_t y, uint32_t grey) {
    return SetStoredRgb(*this, x, y, grey, grey, grey, kBits16);
}

int C_ImgBuff::GetGray16(int32_t x, int32_t y, uint16_t* grey) const {
    return GetGreyAt(*this, x, y, grey);
}

int C_ImgBuff::GetGray32(int32_t x, int32_t y, uint32_t* grey) const {
    return GetGreyAt(*this, x, y, grey);
}

int C_ImgBuff::SetRGB8(int32_t x, int32_t y, uint32_t r, uint32_t g, uint32_t b) {
    return SetStoredRgb(*this, x, y, r, g, b, kBits8);
}

int C_ImgBuff::GetRGB8(int32_t x, int32_t y, uint8_t* r, uint8_t* g, uint8_t* b) const {
    return GetRgbAt(*this, x, y, r, g, b);
}

int C_ImgBuff::SetRGB16(int32_t x, int32_t y, uint32_t r, uint32_t g, uint32_t b) {
    return SetStoredRgb(*this, x, y, r, g, b, kBits16);
}

int C_ImgBuff::GetRGB16(int32_t x, int32_t y, uint16_t* r, uint16_t* g, uint16_t* b) const {
    return GetRgbAt(*this, x, y, r, g, b);
}

int C_ImgBuff::GetRGB32(int32_t x, int32_t y, uint32_t* r, uint32_t* g, uint32_t* b) const {
    return GetRgbAt(*this, x, y, r, g, b);
}

int C_ImgBuff::SetHSV16(int32_t x, int32_t y, uint32_t h, uint32_t s, uint32_t v) {
    if (!Inside(*this, x, y) || !IsPixelType(type)) return 0;
    uint8_t* p = PixelAddress(*this, x, y);
    if (type == PT_HSV16) {
        Store16(p, h);
        Store16(p + 2, s);
        Store16(p + 4, v);
        return 1;
    }
    uint16_t r16;
    uint16_t g16;
    uint16_t b16;
    HsvToRgb16(static_cast<uint16_t>(h), static_cast<uint16_t>(s), static_cast<uint16_t>(v), &r16,
               &g16, &b16);
    const uint32_t rgb[3] = {r16, g16, b16};
    // The luma of a derived colour is widened after the weighting.
    WriteRgb(p, type, rgb, kBits16, false);
    return 1;
}

int C_ImgBuff::GetHSV16(int32_t x, int32_t y, uint16_t* h, uint16_t* s, uint16_t* v) const {
    if (!Inside(*this, x, y) || !IsPixelType(type)) return 0;
    const uint8_t* p = PixelAddress(*this, x, y);
    uint16_t hsv[3];
    if (type == PT_HSV16) {
        hsv[0] = Load16(p);
        hsv[1] = Load16(p + 2);
        hsv[2] = Load16(p + 4);
    } else {
        uint32_t rgb[3];
        ReadRgb(p, type, kBits16, rgb);
        RgbToHsv16(static_cast<uint16_t>(rgb[0]), static_cast<uint16_t>(rgb[1]),
                   static_cast<uint16_t>(rgb[2]), &hsv[0], &hsv[1], &hsv[2]);
    }
    if (h) *h = hsv[0];
    if (s) *s = hsv[1];
    if (v) *v = hsv[2];
    return 1;
}

int C_ImgBuff::GetCMYK8(int32_t x, int32_t y, uint8_t* c, uint8_t* m, uint8_t* yellow,
                        uint8_t* k) const {
    if (!Inside(*this, x, y) || !IsPixelType(type)) return 0;
    const uint8_t* p = PixelAddress(*this, x, y);
    uint8_t cmyk[4];
    if (type == PT_CMYK8) {
        for (int i = 0; i < 4; ++i) cmyk[i] = p[i];
    } else {
        uint32_t rgb[3];
        ReadRgb(p, type, kBits8, rgb);
        RgbToCmyk(rgb[0], rgb[1], rgb[2], cmyk);
    }
    if (c) *c = cmyk[0];
    if (m) *m = cmyk[1];
    if (yellow) *yellow = cmyk[2];
    if (k) *k = cmyk[3];
    return 1;
}

int C_ImgBuff::GetXYZ(int32_t x, int32_t y, double* cx, double* cy, double* cz) const {
    if (!Inside(*this, x, y) || !IsPixelType(type)) return 0;
    const uint8_t* p = PixelAddress(*this, x, y);
    double xyz[3];
    if (type == PT_XYZ) {
        for (int i = 0; i < 3; ++i) xyz[i] = LoadDouble(p + 8 * i);
    } else {
        uint32_t rgb[3];
        ReadRgb(p, type, kBits32, rgb);
        Rgb32ToXyz(rgb[0], rgb[1], rgb[2], &xyz[0], &xyz[1], &xyz[2]);
    }
    if (cx) *cx = xyz[0];
    if (cy) *cy = xyz[1];
    if (cz) *cz = xyz[2];
    return 1;
}
