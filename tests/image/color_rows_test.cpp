// The vector conversions of pixel runs against the per-pixel formulas: on ten million random
// pixels and on every edge value, at every vector level this processor has.
#include <gtest/gtest.h>

#include <iostream>
#include <random>
#include <vector>

#include "image/ColorModel.h"
#include "image/ColorRows.h"

namespace {

struct Planes {
    std::vector<uint16_t> a, b, c;
    explicit Planes(size_t n) : a(n), b(n), c(n) {}
};

// Values where the formulas change branch: the ends of the range and the hue sectors' borders.
std::vector<uint16_t> EdgeValues() {
    std::vector<uint16_t> values = {0, 1, 2, 255, 256, 257, 32767, 32768, 65533, 65534, 65535};
    for (int k = 1; k <= 6; ++k)
        for (int d = -1; d <= 1; ++d) values.push_back(uint16_t(k * 10922 + d));
    return values;
}

// Every combination of edge values, then random pixels; runs of every length up to 17 first,
// so that each tail length of the vector loop occurs.
Planes Inputs(size_t randomCount) {
    const std::vector<uint16_t> edges = EdgeValues();
    Planes in(0);
    for (uint16_t x : edges)
        for (uint16_t y : edges)
            for (uint16_t z : edges) {
                in.a.push_back(x);
                in.b.push_back(y);
                in.c.push_back(z);
            }
    std::mt19937 random(5);
    for (size_t n = 0; n < randomCount; ++n) {
        const uint32_t bits = random();
        in.a.push_back(uint16_t(bits));
        in.b.push_back(uint16_t(bits >> 16));
        in.c.push_back(uint16_t(random()));
    }
    return in;
}

using RunFn = void (*)(const uint16_t*, const uint16_t*, const uint16_t*, uint16_t*, uint16_t*,
                       uint16_t*, size_t);
using PixelFn = void (*)(uint16_t, uint16_t, uint16_t, uint16_t*, uint16_t*, uint16_t*);

void ExpectRunsMatchPixels(RunFn run, PixelFn pixel) {
    const Planes in = Inputs(10'000'000);
    const size_t n = in.a.size();
    Planes expected(n);
    for (size_t i = 0; i < n; ++i)
        pixel(in.a[i], in.b[i], in.c[i], &expected.a[i], &expected.b[i], &expected.c[i]);
    for (VectorLevel level : {VectorLevel::kAvx512, VectorLevel::kAvx2, VectorLevel::kScalar}) {
        LimitVectorLevel(level);
        if (ActiveVectorLevel() != level) {
            std::cout << "vector level " << int(level) << " skipped: this processor lacks it\n";
            continue;
        }
        SCOPED_TRACE(int(level));
        Planes out(n);
        size_t done = 0;
        for (size_t length = 0; length <= 17; ++length) {
            run(&in.a[done], &in.b[done], &in.c[done], &out.a[done], &out.b[done], &out.c[done],
                length);
            done += length;
        }
        run(&in.a[done], &in.b[done], &in.c[done], &out.a[done], &out.b[done], &out.c[done],
            n - done);
        size_t i = 0;
        while (i < n && out.a[i] == expected.a[i] && out.b[i] == expected.b[i] &&
               out.c[i] == expected.c[i])
            ++i;
        ASSERT_EQ(i, n) << "first differing pixel: " << in.a[i] << " " << in.b[i] << " " << in.c[i];
    }
    LimitVectorLevel(VectorLevel::kAvx512);
}

TEST(ColorRows, HsvToRgbRunsEqualThePixelFormula) {
    ExpectRunsMatchPixels(HsvToRgb16Run, HsvToRgb16);
}

TEST(ColorRows, RgbToHsvRunsEqualThePixelFormula) {
    ExpectRunsMatchPixels(RgbToHsv16Run, RgbToHsv16);
}

}  // namespace
