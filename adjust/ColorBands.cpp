#include "adjust/ColorBands.h"

#include "adjust/HsvRows.h"

#include <cstddef>

namespace {

// 10992 rather than 10922 for yellow: the yellow anchor sits 70 units past pure yellow.
constexpr uint16_t kAnchorHues[kColorBandCount] = {0, 10992, 21845, 32768, 43690, 54613};

// Dark pixels (v) get half the saturation change, greyish pixels (s) half the value change.
constexpr uint32_t kHalfEffectLimit = 0x4000;

void CopyBytes(void* destination, const void* source, size_t bytes) {
    CopyBytesContext context{static_cast<uint8_t*>(destination),
                             static_cast<const uint8_t*>(source)};
    WorkerPool::Run(CopyBytesTask, &context, static_cast<unsigned>(bytes));
}

void CopyBandZeroToSix(ColorBandTable* table) {
    CopyBytes(&table->bands[kColorBandCount], &table->bands[0], sizeof(ColorBand));
}

// Wraps a hue that left 0..65535 by at most one turn.
inline uint32_t WrapHue(int32_t hue) {
    if (hue < 0) hue += 65536;
    if (hue > 65535) hue -= 65536;
    return static_cast<uint32_t>(hue);
}

int BuildBandCurve(ColorBandTable* table, int32_t band, bool vivid) {
    if (!EngineTablesReady() || table == nullptr) return 0;
    if (band < 0 || band >= kColorBandCount) return 0;
    ColorBand& b = table->bands[band];
    int32_t amount = vivid ? b.vividness : b.brightness;
    if (amount < -45) amount = -45;
    if (amount > 45) amount = 45;
    ToneCurve curve;
    curve.rebuild = 1;
    curve.position = 0;
    BuildToneCurve(&curve, amount);
    CopyBytes(vivid ? b.vividMap : b.brightMap, curve.map, sizeof(curve.map));
    if (band == 0) CopyBandZeroToSix(table);
    table->built = 1;
    return 1;
}

// The per-pixel mapping, with the blend products kept in unsigned 32 bits: a curve entry times
// a span reaches 65535 x 65536.
inline void MapPixel(const ColorBandTable* table, uint16_t* hue, uint16_t* saturation,
                     uint16_t* value) {
    const HueMapEntry& e = table->hueMap[*hue];
    uint32_t w = e.span;
    if (w == 0) return;
    uint32_t o = e.offset;
    const ColorBand& lower = table->bands[e.band];
    const ColorBand& upper = table->bands[e.band + 1];
    uint32_t s = *saturation, v = *value;
    uint32_t s2 = (uint32_t{lower.vividMap[s]} * (w - o) + uint32_t{upper.vividMap[s]} * o) / w;
    if (v <= kHalfEffectLimit) s2 = (s2 + s) / 2;
    uint32_t v2 = (uint32_t{lower.brightMap[v]} * (w - o) + uint32_t{upper.brightMap[v]} * o) / w;
    if (s <= kHalfEffectLimit) v2 = (v2 + v) / 2;
    *hue = e.mappedHue;
    *saturation = static_cast<uint16_t>(s2);
    *value = static_cast<uint16_t>(v2);
}

}  // namespace

int ResetColorBands(ColorBandTable* table) {
    if (!EngineTablesReady() || table == nullptr) return 0;
    table->built = 0;
    for (int32_t k = 0; k < kColorBandCount; ++k) {
        ColorBand& b = table->bands[k];
        b.anchorHue = kAnchorHues[k];
        b.hueShift = 0;
        b.vividness = 0;
        b.brightness = 0;
    }
    BuildHueMap(table);
    for (int32_t k = 0; k < kColorBandCount; ++k) {
        BuildBandVividness(table, k);
        BuildBandBrightness(table, k);
    }
    return 1;
}

int BuildHueMap(ColorBandTable* table) {
    if (!EngineTablesReady() || table == nullptr) return 0;
    CopyBandZeroToSix(table);
    for (int32_t k = 0; k < kColorBandCount; ++k) {
        const ColorBand& lower = table->bands[k];
        const ColorBand& upper = table->bands[k + 1];
        uint32_t a = lower.anchorHue, b = upper.anchorHue;
        if (a == b) continue;
        HueMapContext context;
        context.table = table;
        context.band = static_cast<uint32_t>(k);
        context.anchor = a;
        context.width = WrapHue(static_cast<int32_t>(b) - static_cast<int32_t>(a));
        context.start = WrapHue(static_cast<int32_t>(a) + lower.hueShift);
        uint32_t end = WrapHue(static_cast<int32_t>(b) + upper.hueShift);
        context.newSpan = WrapHue(static_cast<int32_t>(end) - static_cast<int32_t>(context.start));
        WorkerPool::Run(HueMapTask, &context, context.width);
    }
    table->built = 1;
    return 1;
}

int BuildBandVividness(ColorBandTable* table, int32_t band) {
    return BuildBandCurve(table, band, true);
}

int BuildBandBrightness(ColorBandTable* table, int32_t band) {
    return BuildBandCurve(table, band, false);
}

int ApplyColorBands(CImgBuff* dst, CImgBuff* src, const ColorBandTable* table) {
    if (!EngineTablesReady() || dst == nullptr || src == nullptr || table == nullptr) return 0;
    if (table->built == 0) return 1;
    ColorBandContext context;
    context.source = src->buffer;
    context.destination = dst->buffer;
    context.table = table;
    context.width = src->buffer->width;
    if (src->buffer->height > 0 && context.width > 0)
        WorkerPool::Run(ColorBandRowsTask, &context, static_cast<unsigned>(src->buffer->height));
    return 1;
}

int MapBandPixel(const ColorBandTable* table, uint16_t* hue, uint16_t* saturation,
                 uint16_t* value) {
    if (!EngineTablesReady() || table == nullptr || hue == nullptr || saturation == nullptr ||
        value == nullptr)
        return 0;
    MapPixel(table, hue, saturation, value);
    return 1;
}

void MapBandRun(const ColorBandTable* table, uint16_t* hue, uint16_t* saturation, uint16_t* value,
                size_t count) {
    for (size_t i = 0; i < count; ++i) MapPixel(table, &hue[i], &saturation[i], &value[i]);
}

int ColorBandsNeutral(const ColorBandTable* table) {
    for (int32_t k = 0; k < kColorBandCount; ++k) {
        const ColorBand& b = table->bands[k];
        if (b.hueShift != 0 || b.vividness != 0 || b.brightness != 0) return 0;
    }
    return 1;
}

void HueMapTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<HueMapContext*>(context);
    for (uint32_t o = first; o < first + count; ++o) {
        HueMapEntry& e = c->table->hueMap[(c->anchor + o) & 0xFFFF];
        // Below two turns, so keeping the low 16 bits wraps it back onto the circle.
        uint32_t mapped = c->start + o * c->newSpan / c->width;
        e.band = static_cast<uint16_t>(c->band);
        e.span = static_cast<uint16_t>(c->width);
        e.offset = static_cast<uint16_t>(o);
        e.mappedHue = static_cast<uint16_t>(mapped);
    }
}

void ColorBandRowsTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<ColorBandContext*>(context);
    const ColorBandTable* table = c->table;
    MapHsvRows(c->source, c->destination, c->width, first, count,
               [table](uint16_t& h, uint16_t& s, uint16_t& v) { MapPixel(table, &h, &s, &v); });
}
