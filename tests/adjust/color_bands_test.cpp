#include "adjust/ColorBands.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>

#include "image/ColorModel.h"

namespace {

class PoolEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { WorkerPool::Acquire(); }
    void TearDown() override { WorkerPool::Release(); }
};
const auto* const poolEnvironment = ::testing::AddGlobalTestEnvironment(new PoolEnvironment);

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

TEST(ColorBandsRefusal, NothingIsTouchedWithoutEngineTables) {
    auto table = std::make_unique<ColorBandTable>();
    EXPECT_EQ(ResetColorBands(table.get()), 0);
    EXPECT_EQ(BuildHueMap(table.get()), 0);
    EXPECT_EQ(BuildBandVividness(table.get(), 0), 0);
    EXPECT_EQ(table->built, 0u);
    EXPECT_EQ(table->bands[1].anchorHue, 0);
    uint16_t h = 1, s = 2, v = 3;
    EXPECT_EQ(MapBandPixel(table.get(), &h, &s, &v), 0);
    CImgBuff image;
    EXPECT_EQ(ApplyColorBands(&image, &image, table.get()), 0);
}

TEST_F(ColorBandsTest, BandMembership) {
    const uint16_t anchors[7] = {0, 10992, 21845, 32768, 43690, 54613, 0};
    for (int k = 0; k < 7; ++k) EXPECT_EQ(table->bands[k].anchorHue, anchors[k]);
    for (uint32_t h = 0; h < kHueCount; ++h) {
        const HueMapEntry& e = table->hueMap[h];
        ASSERT_LT(e.band, 6) << h;
        uint32_t a = anchors[e.band], b = e.band == 5 ? 65536 : anchors[e.band + 1];
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
    EXPECT_EQ(table->hueMap[65534].band, 5);
}

TEST_F(ColorBandsTest, NeutralBandsAreAnExactIdentity) {
    std::mt19937 random(11);
    for (int n = 0; n < 1000000; ++n) {
        uint16_t h = random(), s = random(), v = random();
        uint16_t h2 = h, s2 = s, v2 = v;
        ASSERT_EQ(MapBandPixel(table.get(), &h2, &s2, &v2), 1);
        ASSERT_TRUE(h2 == h && s2 == s && v2 == v) << h << " " << s << " " << v;
    }
}

TEST_F(ColorBandsTest, RedVividnessBlendsIntoItsNeighbours) {
    table->bands[0].vividness = 40;
    ASSERT_EQ(BuildBandVividness(table.get(), 0), 1);
    EXPECT_EQ(std::memcmp(table->bands[6].vividMap, table->bands[0].vividMap,
                          sizeof table->bands[0].vividMap),
              0);
    const uint16_t* red = Arc(40);
    for (uint32_t s : {20000u, 40000u, 60000u}) {
        EXPECT_EQ(Map(0, s, 50000, 1), red[s]);
        EXPECT_GT(red[s], s);
        // Yellow takes 70/10992 of red's change, hue 65534 10921/10923 of it.
        EXPECT_EQ(Map(10922, s, 50000, 1), (uint64_t{red[s]} * 70 + uint64_t{s} * 10922) / 10992);
        EXPECT_EQ(Map(65534, s, 50000, 1), (uint64_t{s} * 2 + uint64_t{red[s]} * 10921) / 10923);
        EXPECT_EQ(Map(21845, s, 50000, 1), s);  // green is untouched
    }
}

TEST_F(ColorBandsTest, DarkAndGreyishPixelsGetHalfTheChange) {
    table->bands[2].vividness = 40;
    table->bands[4].brightness = -40;
    BuildBandVividness(table.get(), 2);
    BuildBandBrightness(table.get(), 4);
    const uint16_t* vivid = Arc(40);
    EXPECT_EQ(Map(21845, 30000, 16384, 1), (vivid[30000] + 30000) / 2);
    EXPECT_EQ(Map(21845, 30000, 16385, 1), vivid[30000]);
    EXPECT_EQ(Map(21845, 16384, 30000, 2), 30000);  // only saturation changes for green
    const uint16_t* dark = Arc(-40);
    EXPECT_EQ(Map(43690, 16384, 30000, 2), (dark[30000] + 30000) / 2);
    EXPECT_EQ(Map(43690, 16385, 30000, 2), dark[30000]);
}

// Mapped hues over hues first .. last - 1 (wrapping) rise steadily from the shifted anchor
// start and stay below the shifted anchor end, with both unwrapped across hue 0 as needed.
void ExpectSteadyRun(const ColorBandTable& table, uint32_t first, uint32_t last, uint32_t start,
                     uint32_t end) {
    uint32_t previous = start;
    for (uint32_t h = first; h != last; h = (h + 1) & 0xFFFF) {
        uint32_t mapped = table.hueMap[h].mappedHue;
        uint32_t unwrapped = mapped < start ? mapped + 65536 : mapped;
        ASSERT_GE(unwrapped, previous) << h;
        previous = unwrapped;
    }
    EXPECT_LT(previous, end < start ? end + 65536 : end);
    EXPECT_GT(previous + 10, end < start ? end + 65536 : end);
}

TEST_F(ColorBandsTest, HueShiftsStretchTheNeighbouringBands) {
    table->bands[0].hueShift = 5000;
    ASSERT_EQ(BuildHueMap(table.get()), 1);
    EXPECT_EQ(table->hueMap[0].mappedHue, 5000);
    EXPECT_EQ(table->hueMap[10992].mappedHue, 10992);
    EXPECT_EQ(table->hueMap[54613].mappedHue, 54613);
    // Magenta-to-red hues now run from magenta across hue 0 to the shifted red.
    ExpectSteadyRun(*table, 54613, 0, 54613, 5000);
    ExpectSteadyRun(*table, 0, 10992, 5000, 10992);

    table->bands[0].hueShift = -5000;
    BuildHueMap(table.get());
    EXPECT_EQ(table->hueMap[0].mappedHue, 60536);
    ExpectSteadyRun(*table, 54613, 0, 54613, 60536);
    ExpectSteadyRun(*table, 0, 10992, 60536, 10992);
    EXPECT_LT(table->hueMap[5000].mappedHue, 10992);  // red's upper half wraps past 0
}

TEST_F(ColorBandsTest, BandBuildersGuardTheirArguments) {
    EXPECT_EQ(BuildBandVividness(table.get(), 6), 0);
    EXPECT_EQ(BuildBandBrightness(table.get(), -1), 0);
    table->bands[3].vividness = 100;  // beyond the curve's range: the strongest curve
    ASSERT_EQ(BuildBandVividness(table.get(), 3), 1);
    EXPECT_EQ(std::memcmp(table->bands[3].vividMap, Arc(45), sizeof arc->map), 0);

    // Curves built on a table that never got a hue map leave pixels alone.
    auto bare = std::make_unique<ColorBandTable>();
    ASSERT_EQ(BuildBandVividness(bare.get(), 0), 1);
    EXPECT_EQ(bare->built, 1u);
    uint16_t h = 300, s = 40000, v = 40000;
    EXPECT_EQ(MapBandPixel(bare.get(), &h, &s, &v), 1);
    EXPECT_EQ(s, 40000);
}

// The pooled pass equals MapBandPixel pixel by pixel, in place too; an unbuilt table leaves the
// destination untouched.
TEST_F(ColorBandsTest, ApplyMatchesAPlainLoop) {
    table->bands[1].hueShift = -3000;
    table->bands[1].vividness = 30;
    table->bands[5].brightness = -25;
    BuildHueMap(table.get());
    BuildBandVividness(table.get(), 1);
    BuildBandBrightness(table.get(), 5);
    for (PixelType type : {PT_HSV16, PT_RGB16}) {
        SCOPED_TRACE(type);
        CImgBuff src, dst, expected;
        ASSERT_EQ(src.buffer->Create(199, 101, PT_HSV16), 1);
        std::mt19937 random(type);
        for (int32_t y = 0; y < 101; ++y)
            for (int32_t x = 0; x < 199; ++x)
                src.buffer->SetHSV16(x, y, random() & 0xFFFF, random() & 0xFFFF, random() & 0xFFFF);
        ASSERT_EQ(src.ConvertType(type), 1);
        expected.Copy(src);
        for (int32_t y = 0; y < 101; ++y)
            for (int32_t x = 0; x < 199; ++x) {
                uint16_t h, s, v;
                expected.buffer->GetHSV16(x, y, &h, &s, &v);
                MapBandPixel(table.get(), &h, &s, &v);
                expected.buffer->SetHSV16(x, y, h, s, v);
            }
        dst.buffer->Create(199, 101, type);
        ASSERT_EQ(ApplyColorBands(&dst, &src, table.get()), 1);
        ASSERT_EQ(ApplyColorBands(&src, &src, table.get()), 1);
        size_t bytes = size_t{199} * 101 * kBytesPerPixel[type];
        EXPECT_EQ(std::memcmp(dst.buffer->pixels, expected.buffer->pixels, bytes), 0);
        EXPECT_EQ(std::memcmp(src.buffer->pixels, expected.buffer->pixels, bytes), 0);

        table->built = 0;
        dst.buffer->Clear();
        ASSERT_EQ(ApplyColorBands(&dst, &src, table.get()), 1);
        EXPECT_EQ(dst.buffer->pixels[bytes - 1], 0);
        table->built = 1;
    }
}

}  // namespace
