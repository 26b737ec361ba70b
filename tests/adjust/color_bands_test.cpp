#include "adjust/ColorBands.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "image/ColorModel.h"
#include "image/ColorRows.h"
#include "tests/adjust/AdjustTest.h"

namespace {

class ColorBandsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        InitEngineTables();
        ASSERT_EQ(ResetColorBands(table.get()), 1);
    }
    void TearDown() override { ReleaseEngineTables(); }

    // The arc curve a band value stands for, built on its own.
    const uint16_t* Arc(int32_t position) {
        arc->rebuild = 1;
        BuildToneCurve(arc.get(), position);
        return arc->map;
    }
    uint16_t Map(uint16_t h, uint16_t s, uint16_t v, int component) {
        uint16_t hsv[3] = {h, s, v};
        EXPECT_EQ(MapBandPixel(table.get(), &hsv[0], &hsv[1], &hsv[2]), 1);
        return hsv[component];
    }

    std::unique_ptr<ColorBandTable> table = std::make_unique<ColorBandTable>();
    std::unique_ptr<ToneCurve> arc = std::make_unique<ToneCurve>();
};

TEST_F(ColorBandsTest, BandMembership) {
    const uint16_t anchors[7] = {0, 10992, 21845, 32768, 43690, 54613, 0};
    for (int k = 0; k < 7; ++k) EXPECT_EQ(table->bands[k].anchorHue, anchors[k]);
    for (uint32_t h = 0; h < kHueCount; ++h) {
        const HueMapEntry& e = table->hueMap[h];
        ASSERT_LT(e.band, 6) << h;
        const uint32_t a = anchors[e.band], b = e.band == 5 ? 65536 : anchors[e.band + 1];
        ASSERT_TRUE(h >= a && h < b) << h;
        ASSERT_EQ(e.offset, h - a);
        ASSERT_EQ(e.span, b - a);
        ASSERT_EQ(e.mappedHue, h);
    }
    // Pure yellow from the conversion lies 70 units before the yellow anchor.
    uint16_t h, s, v;
    RgbToHsv16(65535, 65535, 0, &h, &s, &v);
    EXPECT_EQ(h, 10922);
    EXPECT_EQ(table->hueMap[h].band, 0);
    EXPECT_EQ(table->hueMap[h].span - table->hueMap[h].offset, 70);
}

TEST_F(ColorBandsTest, NeutralBandsAreAnExactIdentity) {
    std::mt19937 random(11);
    for (int n = 0; n < 1000000; ++n) {
        const uint16_t h = random(), s = random(), v = random();
        uint16_t h2 = h, s2 = s, v2 = v;
        ASSERT_EQ(MapBandPixel(table.get(), &h2, &s2, &v2), 1);
        ASSERT_TRUE(h2 == h && s2 == s && v2 == v) << h << " " << s << " " << v;
    }
}

TEST_F(ColorBandsTest, RedVividnessBlendsIntoItsNeighbours) {
    table->bands[0].vividness = 40;
    ASSERT_EQ(BuildBandVividness(table.get(), 0), 1);
    EXPECT_EQ(std::memcmp(table->bands[6].vividMap, table->bands[0].vividMap, sizeof arc->map), 0);
    const uint16_t* red = Arc(40);
    for (uint32_t s : {20000u, 40000u, 60000u}) {
        EXPECT_EQ(Map(0, s, 50000, 1), red[s]);
        // Yellow takes 70/10992 of red's change, hue 65534 10921/10923 of it; green none.
        EXPECT_EQ(Map(10922, s, 50000, 1), (uint64_t{red[s]} * 70 + uint64_t{s} * 10922) / 10992);
        EXPECT_EQ(Map(65534, s, 50000, 1), (uint64_t{s} * 2 + uint64_t{red[s]} * 10921) / 10923);
        EXPECT_EQ(Map(21845, s, 50000, 1), s);
    }
}

TEST_F(ColorBandsTest, DarkAndGreyishPixelsGetHalfTheChange) {
    table->bands[2].vividness = 40;
    table->bands[4].brightness = -40;
    BuildBandVividness(table.get(), 2);
    BuildBandBrightness(table.get(), 4);
    const uint16_t vivid = Arc(40)[30000];
    EXPECT_EQ(Map(21845, 30000, 16384, 1), (vivid + 30000) / 2);
    EXPECT_EQ(Map(21845, 30000, 16385, 1), vivid);
    EXPECT_EQ(Map(21845, 16384, 30000, 2), 30000);  // only saturation changes for green
    const uint16_t dark = Arc(-40)[30000];
    EXPECT_EQ(Map(43690, 16384, 30000, 2), (dark + 30000) / 2);
    EXPECT_EQ(Map(43690, 16385, 30000, 2), dark);
}

// Mapped hues over hues first .. last - 1 (wrapping) rise steadily from the shifted anchor
// start and end just below the shifted anchor end, both unwrapped across hue 0 as needed.
void ExpectSteadyRun(const ColorBandTable& table, uint32_t first, uint32_t last, uint32_t start,
                     uint32_t end) {
    uint32_t previous = start;
    for (uint32_t h = first; h != last; h = (h + 1) & 0xFFFF) {
        const uint32_t mapped = table.hueMap[h].mappedHue;
        const uint32_t unwrapped = mapped < start ? mapped + 65536 : mapped;
        ASSERT_GE(unwrapped, previous) << h;
        previous = unwrapped;
    }
    if (end < start) end += 65536;
    EXPECT_LT(previous, end);
    EXPECT_GT(previous + 10, end);
}

TEST_F(ColorBandsTest, RedHueShiftStretchesTheNeighbouringBands) {
    for (const int16_t shift : {5000, -5000}) {
        SCOPED_TRACE(shift);
        const uint32_t red = (65536 + shift) & 0xFFFF;
        table->bands[0].hueShift = shift;
        ASSERT_EQ(BuildHueMap(table.get()), 1);
        EXPECT_EQ(table->hueMap[0].mappedHue, red);
        EXPECT_EQ(table->hueMap[10992].mappedHue, 10992);
        EXPECT_EQ(table->hueMap[54613].mappedHue, 54613);
        // Magenta's band now ends at the shifted red, across hue 0 or before it.
        ExpectSteadyRun(*table, 54613, 0, 54613, red);
        ExpectSteadyRun(*table, 0, 10992, red, 10992);
    }
}

TEST_F(ColorBandsTest, RefusalsAndUnbuiltTables) {
    EXPECT_EQ(BuildBandVividness(table.get(), 6), 0);
    EXPECT_EQ(BuildBandBrightness(table.get(), -1), 0);
    // Curves on a table that never got a hue map (every span zero) leave pixels alone.
    auto bare = std::make_unique<ColorBandTable>();
    ASSERT_EQ(BuildBandVividness(bare.get(), 0), 1);
    uint16_t h = 300, s = 40000, v = 40000;
    EXPECT_EQ(MapBandPixel(bare.get(), &h, &s, &v), 1);
    EXPECT_EQ(s, 40000);
    // A table never built leaves the destination untouched.
    CImgBuff src, dst, before;
    FillRandomHsv(src, 4, 4, 1);
    FillRandomHsv(dst, 4, 4, 2);
    before.Copy(dst);
    EXPECT_EQ(ApplyColorBands(&dst, &src, std::make_unique<ColorBandTable>().get()), 1);
    EXPECT_TRUE(SamePixels(dst, before));
    // Nothing is built or mapped without the engine tables.
    ReleaseEngineTables();
    EXPECT_EQ(ResetColorBands(bare.get()) + BuildHueMap(bare.get()) +
                  MapBandPixel(bare.get(), &h, &s, &v) + ApplyColorBands(&dst, &src, bare.get()),
              0);
    EXPECT_EQ(bare->bands[1].anchorHue, 0);
    InitEngineTables();
}

TEST_F(ColorBandsTest, ApplyMatchesAPlainLoop) {
    table->bands[1].hueShift = -3000;
    table->bands[1].vividness = 30;
    table->bands[5].brightness = -25;
    BuildHueMap(table.get());
    BuildBandVividness(table.get(), 1);
    BuildBandBrightness(table.get(), 5);
    for (PixelType type : {PT_HSV16, PT_RGB16})
        ExpectPassMatchesPlainLoop(
            type, [&](CImgBuff* d, CImgBuff* s) { return ApplyColorBands(d, s, table.get()); },
            [&](uint16_t& h, uint16_t& s, uint16_t& v) { MapBandPixel(table.get(), &h, &s, &v); });
}

}  // namespace

namespace {

// The run mapping, at every vector level, against MapBandPixel on ten million random pixels of
// tables with random shifts, vividness and brightness in every band, the extremes among them.
TEST_F(ColorBandsTest, RunsMapAsPixelByPixel) {
    std::mt19937 random(17);
    // Rounds 3 and 4 give curves to one band only, so that runs mix pixels between curved and
    // plain bands; in round 3 that band changes vividness alone and the next one brightness
    // alone; round 4 shifts no hue.
    for (int round = 0; round < 5; ++round) {
        const int32_t curved = int32_t(random() % kColorBandCount);
        for (int32_t k = 0; k < kColorBandCount; ++k) {
            ColorBand& band = table->bands[k];
            const bool vivid = round < 3 || k == curved;
            const bool bright =
                round < 3 || k == (round == 3 ? (curved + 1) % kColorBandCount : curved);
            band.hueShift = int16_t(round == 0   ? (k % 2 ? 5000 : -5000)
                                    : round == 4 ? 0
                                                 : int32_t(random() % 10001) - 5000);
            band.vividness = int16_t(!vivid ? 0 : round == 0 ? 40 : int32_t(random() % 81) - 40);
            band.brightness = int16_t(!bright ? 0 : round == 0 ? -40 : int32_t(random() % 81) - 40);
            BuildBandVividness(table.get(), k);
            BuildBandBrightness(table.get(), k);
        }
        BuildHueMap(table.get());
        const size_t n = round == 0 ? 10'000'000 : 1'000'000;
        std::vector<uint16_t> h(n), s(n), v(n);
        for (size_t i = 0; i < n; ++i) {
            const uint32_t bits = random();
            h[i] = uint16_t(bits);
            s[i] = uint16_t(bits >> 16);
            v[i] = uint16_t(random());
        }
        std::vector<uint16_t> eh = h, es = s, ev = v;
        for (size_t i = 0; i < n; ++i) MapBandPixel(table.get(), &eh[i], &es[i], &ev[i]);
        for (VectorLevel level : {VectorLevel::kAvx512, VectorLevel::kAvx2, VectorLevel::kScalar}) {
            LimitVectorLevel(level);
            std::vector<uint16_t> rh = h, rs = s, rv = v;
            for (size_t first = 0, length = 1; first < n;
                 first += length, length = length * 5 % 521)
                MapBandRun(table.get(), &rh[first], &rs[first], &rv[first],
                           std::min(length, n - first));
            size_t i = 0;
            while (i < n && rh[i] == eh[i] && rs[i] == es[i] && rv[i] == ev[i]) ++i;
            ASSERT_EQ(i, n) << "first differing pixel: " << h[i] << " " << s[i] << " " << v[i]
                            << " level " << int(level);
        }
        LimitVectorLevel(VectorLevel::kAvx512);
    }
}

}  // namespace
