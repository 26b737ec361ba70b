#include "image/ColorModel.h"

#include <cmath>

namespace {

constexpr int32_t kHueSector = 10922;

double LabF(double t) {
    if (t > 0.008856451679035631) return std::pow(t, 0.3333333333333333);
    return t / 0.12841854934601665 + 0.13793103448275862;
}

double LabG(double t) {
    if (t > 0.20689655172413793) return t * t * t;
    return (t - 0.13793103448275862) * 0.12841854934601665;
}

// Double 0..65535.5 (or a hair below zero) to a 16-bit channel by truncation toward zero.
uint16_t TruncateChannel(double value) {
    return static_cast<uint16_t>(static_cast<int32_t>(value));
}

}  // namespace

double DecodeSrgb(double u) {
    if (u <= 0.04045) return u / 12.92;
    return std::pow((u + 0.055) / 1.055, 2.4);
}

double EncodeSrgb(double u) {
    double e;
    if (u <= 0.0031308) {
        e = 12.92 * u;
    } else {
        e = 1.055 * std::pow(u, 0.4166666666666667) - 0.055;
    }
    if (!(e >= 0.0)) return 0.0;
    if (e > 1.0) return 1.0;
    return e;
}

void RgbToHsv16(uint16_t r, uint16_t g, uint16_t b, uint16_t* h, uint16_t* s, uint16_t* v) {
    const int32_t R = r;
    const int32_t G = g;
    const int32_t B = b;
    int32_t max = R;
    if (G > max) max = G;
    if (B > max) max = B;
    int32_t min = R;
    if (G < min) min = G;
    if (B < min) min = B;
    const int32_t d = max - min;

    int32_t hue = 0;
    if (d != 0) {
        if (R == max) {
            hue = ((G - B) * kHueSector / d + 65535) % 65535;
        } else if (G == max) {
            hue = (B - R) * kHueSector / d + 2 * kHueSector;
        } else {
            hue = (R - G) * kHueSector / d + 4 * kHueSector;
        }
    }
    // d * 65534 reaches 4294770690 at most, which still fits the unsigned product.
    const uint32_t sat =
        max != 0 ? static_cast<uint32_t>(d) * 65534u / static_cast<uint32_t>(max) : 0u;

    if (h) *h = static_cast<uint16_t>(hue);
    if (s) *s = static_cast<uint16_t>(sat);
    if (v) *v = static_cast<uint16_t>(max);
}

void HsvToRgb16(uint16_t h, uint16_t s, uint16_t v, uint16_t* r, uint16_t* g, uint16_t* b) {
    uint16_t R = v;
    uint16_t G = v;
    uint16_t B = v;
    if (s != 0) {
        const double hh = h / 10922.0;
        const int32_t i = static_cast<int32_t>(hh);
        const double f = hh - i;
        const double ss = s / 65534.0;
        const double V = v;
        // A saturation of 65535 makes 1 - s a hair negative; the +0.5 still truncates to 0.
        const uint16_t p = TruncateChannel((1.0 - ss) * V + 0.5);
        const uint16_t q = TruncateChannel((1.0 - ss * f) * V + 0.5);
        const uint16_t t = TruncateChannel((1.0 - (1.0 - f) * ss) * V + 0.5);
        switch (i % 6) {
            case 0:
                R = v, G = t, B = p;
                break;
            case 1:
                R = q, G = v, B = p;
                break;
            case 2:
                R = p, G = v, B = t;
                break;
            case 3:
                R = p, G = q, B = v;
                break;
            case 4:
                R = t, G = p, B = v;
                break;
            default:
                R = v, G = p, B = q;
                break;
        }
    }
    if (r) *r = R;
    if (g) *g = G;
    if (b) *b = B;
}

void SrgbToXyz(double r, double g, double b, double* x, double* y, double* z) {
    LinearToXyz(DecodeSrgb(r), DecodeSrgb(g), DecodeSrgb(b), x, y, z);
}

void LinearToXyz(double lr, double lg, double lb, double* x, double* y, double* z) {
    if (x) *x = 0.4124564 * lr + 0.3575761 * lg + 0.1804375 * lb;
    if (y) *y = 0.2126729 * lr + 0.7151522 * lg + 0.072175 * lb;
    if (z) *z = 0.0193339 * lr + 0.119192 * lg + 0.9503041 * lb;
}

void Rgb32ToXyz(uint32_t r, uint32_t g, uint32_t b, double* x, double* y, double* z) {
    SrgbToXyz(r / 4294967295.0, g / 4294967295.0, b / 4294967295.0, x, y, z);
}

void XyzToSrgb(double x, double y, double z, double* r, double* g, double* b) {
    double linear[3];
    XyzToLinear(x, y, z, linear);
    *r = EncodeSrgb(linear[0]);
    *g = EncodeSrgb(linear[1]);
    *b = EncodeSrgb(linear[2]);
}

void XyzToLinear(double x, double y, double z, double linear[3]) {
    linear[0] = 3.2404542 * x + -1.5371385 * y + -0.4985314 * z;
    linear[1] = -0.969266 * x + 1.8760108 * y + 0.041556 * z;
    linear[2] = 0.0556434 * x + -0.2040259 * y + 1.0572252 * z;
}

void XyzToRgb32(double x, double y, double z, uint32_t* r, uint32_t* g, uint32_t* b) {
    double sr;
    double sg;
    double sb;
    XyzToSrgb(x, y, z, &sr, &sg, &sb);
    if (r) *r = static_cast<uint32_t>(sr * 4294967295.0);
    if (g) *g = static_cast<uint32_t>(sg * 4294967295.0);
    if (b) *b = static_cast<uint32_t>(sb * 4294967295.0);
}

void LabFRun(double* t, size_t count) {
    for (size_t i = 0; i < count; ++i) t[i] = LabF(t[i]);
}

int XyzToLab(double x, double y, double z, double* l, double* a, double* b) {
    const double xr = x * 100.0 / 95.0489;
    const double yr = y * 100.0 / 100.0;
    const double zr = z * 100.0 / 108.884;
    const double fx = LabF(xr);
    const double fy = LabF(yr);
    const double fz = LabF(zr);
    if (l) *l = 116.0 * fy - 16.0;
    if (a) *a = 500.0 * (fx - fy);
    if (b) *b = 200.0 * (fy - fz);
    return 1;
}

int LabToXyz(double l, double a, double b, double* x, double* y, double* z) {
    const double fy = (l + 16.0) / 116.0;
    const double fx = a / 500.0 + fy;
    const double fz = fy - b / 200.0;
    if (x) *x = LabG(fx) * 95.0489 / 100.0;
    if (y) *y = LabG(fy) * 100.0 / 100.0;
    if (z) *z = LabG(fz) * 108.884 / 100.0;
    return 1;
}
