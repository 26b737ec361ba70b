#include "adjust/ColorBands.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "tests/adjust/AdjustTest.h"

namespace {

class ColorBandsTest : public AdjustTest {
  protected:
    void SetUp() override { ASSERT_EQ(ResetColorBands(table.get()), 1); }

    // The arc curve a band value stands for, built on its own.
    const uint16_t* Arc(int32_t position) {
        curve->rebuild = 1;
        BuildToneCurve(curve.get(), position);
        return curve->map;
    }
    uint16_t Map(uint16_t h, uint16_t s, uint16_t v, int component) {
        uint16_t hsv[3] = {h, s, v};
        EXPECT_EQ(MapBandPixel(table.get(), &hsv[0], &hsv[1], &hsv[2]), 1);
        return hsv[component];
    }

    std::unique_ptr<ColorBandTable> table = std::make_unique<ColorBandTable>();
};

// The reset table: fixed anchors (yellow's 70 units past pure yellow at 10922), each hue in the
// band of the last anchor at or before it, and every pixel mapped exactly to itself.
TEST_F(ColorBandsTest, NeutralTableFindsEachHuesBandAndKeepsEveryPixel) {
    const uint16_t anchors[7] = {0, 10992, 21845, 32768, 43690, 54613, 0};
    for (int k = 0; k < 7; ++k) EXPECT_EQ(table->bands[k].anchorHue, anchors[k]);
    std::mt19937 random(11);
    for (uint32_t h = 0; h < kHueCount; ++h) {
        const HueMapEntry& e = table->hueMap[h];
        ASSERT_LT(e.band, 6) << h;
        const uint32_t a = anchors[e.band], b = e.band == 5 ? 65536 : anchors[e.band + 1];
        ASSERT_TRUE(h >= a && h < b && e.offset == h - a && e.span == b - a && e.mappedHue == h)
            << h;
        for (int n = 0; n < 16; ++n) {
            const uint16_t s = random(), v = random();
            uint16_t h2 = h, s2 = s, v2 = v;
            ASSERT_EQ(MapBandPixel(table.get(), &h2, &s2, &v2), 1);
            ASSERT_TRUE(h2 == h && s2 == s && v2 == v) << h << " " << s << " " << v;
        }
    }
}

// A band's change blends linearly over the hues to the next anchors, red's through its copy in
// band 6 too; dark pixels get half the saturation change, greyish ones half the value change.
TEST_F(ColorBandsTest, ChangesBlendBetweenAnchorsAndHalveForDarkOrGreyishPixels) {
    table->bands[0].vividness = 40;
    table->bands[4].brightness = -40;
    ASSERT_EQ(BuildBandVividness(table.get(), 0) + BuildBandBrightness(table.get(), 4), 2);
    const uint16_t* red = Arc(40);
    for (uint32_t s : {20000u, 40000u, 60000u}) {
        EXPECT_EQ(Map(0, s, 50000, 1), red[s]);
        // Yellow takes 70/10992 of red's change, hue 65534 10921/10923 of it; green none.
        EXPECT_EQ(Map(10922, s, 50000, 1), (uint64_t{red[s]} * 70 + uint64_t{s} * 10922) / 10992);
        EXPECT_EQ(Map(65534, s, 50000, 1), (uint64_t{s} * 2 + uint64_t{red[s]} * 10921) / 10923);
        EXPECT_EQ(Map(21845, s, 50000, 1), s);
    }
    EXPECT_EQ(Map(0, 30000, 16384, 1), (red[30000] + 30000) / 2);
    EXPECT_EQ(Map(0, 30000, 16385, 1), red[30000]);
    EXPECT_EQ(Map(0, 16384, 30000, 2), 30000);  // only saturation changes for red
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

// The run mapping, at every vector level, against MapBandPixel on ten million random pixels of
// tables with random shifts, vividness and brightness in every band, the extremes among them.
TEST_F(ColorBandsTest, RunsMapAsPixelByPixel) {
    std::mt19937 random(17);
    // Round 0 takes the extremes. Rounds 3 and 4 give curves to one band only, so that runs mix
    // pixels between curved and plain bands; in round 3 that band changes vividness alone and
    // the next one brightness alone; round 4 shifts no hue.
    for (int round = 0; round < 5; ++round) {
        const int32_t curved = int32_t(random() % kColorBandCount);
        auto amount = [&](bool on, int32_t extreme) {
            return int16_t(!on ? 0 : round == 0 ? extreme : int32_t(random() % 81) - 40);
        };
        for (int32_t k = 0; k < kColorBandCount; ++k) {
            ColorBand& band = table->bands[k];
            band.hueShift = int16_t(round == 0   ? (k % 2 ? 5000 : -5000)
                                    : round == 4 ? 0
                                                 : int32_t(random() % 10001) - 5000);
            band.vividness = amount(round < 3 || k == curved, 40);
            band.brightness = amount(
                round < 3 || k == (round == 3 ? (curved + 1) % kColorBandCount : curved), -40);
            BuildBandVividness(table.get(), k);
            BuildBandBrightness(table.get(), k);
        }
        BuildHueMap(table.get());
        const size_t n = round == 0 ? 10'000'000 : 1'000'000;
        std::vector<uint16_t> hsv[3];
        for (auto& channel : hsv) {
            channel.resize(n);
            for (auto& sample : channel) sample = uint16_t(random());
        }
        std::vector<uint16_t> expected[3] = {hsv[0], hsv[1], hsv[2]};
        for (size_t i = 0; i < n; ++i)
            MapBandPixel(table.get(), &expected[0][i], &expected[1][i], &expected[2][i]);
        AtEveryVectorLevel([&] {
            std::vector<uint16_t> run[3] = {hsv[0], hsv[1], hsv[2]};
            // Uneven pieces, so that runs and vectors end at every offset.
            for (size_t first = 0, length = 1; first < n;
                 first += length, length = length * 5 % 521)
                MapBandRun(table.get(), &run[0][first], &run[1][first], &run[2][first],
                           std::min(length, n - first));
            for (int c = 0; c < 3; ++c)
                EXPECT_EQ(FirstDifference(run[c], expected[c]), n) << "channel " << c;
        });
    }
}

}  // namespace
