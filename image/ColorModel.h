// Conversions between 16-bit RGB and the engine's 16-bit HSV, and between sRGB, CIE XYZ and
// CIE L*a*b* (D65), with the exact scales, truncations and clamps the engine relies on.
// Null output pointers are skipped, except in XyzToSrgb.
#pragma once

#include <cstddef>
#include <cstdint>

// Hue: 10922 units per 60 degrees, red 0; saturation 0..65534; value = the largest channel.
void RgbToHsv16(uint16_t r, uint16_t g, uint16_t b, uint16_t* h, uint16_t* s, uint16_t* v);
void HsvToRgb16(uint16_t h, uint16_t s, uint16_t v, uint16_t* r, uint16_t* g, uint16_t* b);

// Gamma-encoded sRGB channel to linear light.
double DecodeSrgb(double u);
// Linear light to gamma-encoded sRGB, clamped to 0..1. A NaN input lands on 0 so that the
// integer conversion that may follow stays defined.
double EncodeSrgb(double u);

// Gamma-encoded sRGB channels 0..1 to XYZ with reference white Y = 1.
void SrgbToXyz(double r, double g, double b, double* x, double* y, double* z);
// The same from linear-light channels.
void LinearToXyz(double lr, double lg, double lb, double* x, double* y, double* z);
// 32-bit channels, 0..4294967295 standing for 0..1.
void Rgb32ToXyz(uint32_t r, uint32_t g, uint32_t b, double* x, double* y, double* z);
// All three outputs are required; each is clamped to 0..1.
void XyzToSrgb(double x, double y, double z, double* r, double* g, double* b);
// The linear-light R, G, B of XyzToSrgb before encoding and clamping.
void XyzToLinear(double x, double y, double z, double linear[3]);
void XyzToRgb32(double x, double y, double z, uint32_t* r, uint32_t* g, uint32_t* b);

int XyzToLab(double x, double y, double z, double* l, double* a, double* b);
// X / Xn, Y / Yn and Z / Zn of XyzToLab, D65's white point in percent.
void LabRatios(double x, double y, double z, double ratio[3]);
// The f of XyzToLab, in place, for count values of X / Xn, Y / Yn or Z / Zn: the cube root (the
// real pow with 0.3333333333333333) above 216/24389, a line below.
void LabFRun(double* t, size_t count);
int LabToXyz(double l, double a, double b, double* x, double* y, double* z);
