#include "adjust/ToneCurve.h"

#include "adjust/HsvRows.h"

#include <atomic>
#include <cmath>
#include <mutex>

// Row tasks and their records.

// Items are curve entries.
struct ArcCurveContext {
    double x0;  // cos A
    double y0;  // sin A
    double dx;  // cos B - cos A
    double dy;  // sin B - sin A
    ToneCurve* curve;
};
void ArcCurveTask(void* context, uint32_t first, uint32_t count);
void MirroredArcCurveTask(void* context, uint32_t first, uint32_t count);

// Items are entries i of the shadow part, 0..24575.
struct LightCurveContext {
    int64_t strength;  // slider value + 100, wide enough for any 32-bit slider value
    ToneCurve* curve;
};
void AddLightTask(void* context, uint32_t first, uint32_t count);
// Item i writes entry 65535 - i.
void SuppressLightTask(void* context, uint32_t first, uint32_t count);

// Items are entries base + i; fills map[base + i] = base + i.
struct IdentityCurveContext {
    uint16_t* map;
    uint32_t base;
};
void IdentityCurveTask(void* context, uint32_t first, uint32_t count);

// Items are pairs of gain table entries (2j, 2j + 1).
struct LightGainContext {
    double* table;
};
void LightGainTask(void* context, uint32_t first, uint32_t count);

// Items are image rows.
struct ToneCurveContext {
    const C_ImgBuff* source;
    C_ImgBuff* destination;
    const ToneCurve* sCurve;
    const ToneCurve* vCurve;
    int32_t width;
};
void ToneCurveRowsTask(void* context, uint32_t first, uint32_t count);

ToneCurve IdentityCurve;
double LightGainTable[kLightSpan];

namespace {

// Users of the engine tables; saturates at the largest value instead of wrapping to 0. Engine
// states are made on several threads at once (the window's and one correcting other photos), so
// the count is taken under a lock and the tables are filled before any other user sees it.
std::mutex engineTablesLock;
std::atomic<uint32_t> engineRefCount = 0;

constexpr double kPi = 3.141592653589793;
constexpr double kQuarterTurnTimesPi = 141.3716694115407;  // 45 * pi, as a written constant

constexpr uint32_t kLightShadowCap = 0x6000;       // 24576: the shadow part never rises above
constexpr uint32_t kLightHighlightFloor = 0x9FFF;  // 40959: the highlight part never falls below

// Entries first .. end - 1 of map become their own index.
void FillIdentity(uint16_t* map, uint32_t first = 0, uint32_t end = kToneCurveSize) {
    IdentityCurveContext context{map, first};
    WorkerPool::Run(IdentityCurveTask, &context, end - first);
}

// Arc height for entry i, normalised so that the arc's ends map to 0 and 65535.
inline double ArcValue(const ArcCurveContext* c, uint32_t i) {
    double t = i * c->dx / 65535 + c->x0;
    double y = std::sin(std::acos(t));
    return ((y - c->y0) / c->dy) * 65535;
}

inline uint16_t ClampToEntry(double out) {
    if (out > 65535) return 65535;
    if (out < 0) return 0;
    return static_cast<uint16_t>(out);
}

// Lift of shadow entry i; kept in double so that no strength can overflow an integer.
inline double LightLift(uint32_t i, int64_t strength) {
    return std::trunc(i * LightGainTable[i] * static_cast<double>(strength) / 100);
}

}  // namespace

int InitEngineTables() {
    std::lock_guard<std::mutex> lock(engineTablesLock);
    const uint32_t users = engineRefCount.load();
    if (users == UINT32_MAX) return 1;
    if (users == 0) {
        IdentityCurve.rebuild = 0;
        IdentityCurve.position = 0;
        FillIdentity(IdentityCurve.map);
        LightGainContext context{LightGainTable};
        WorkerPool::Run(LightGainTask, &context, kLightSpan / 2);
    }
    engineRefCount.store(users + 1);
    return 1;
}

void ReleaseEngineTables() {
    std::lock_guard<std::mutex> lock(engineTablesLock);
    const uint32_t users = engineRefCount.load();
    if (users != 0 && users != UINT32_MAX) engineRefCount.store(users - 1);
}

int EngineTablesReady() {
    return engineRefCount != 0 ? 1 : 0;
}

int ResetToneCurve(ToneCurve* curve) {
    if (!EngineTablesReady() || curve == nullptr) return 0;
    FillIdentity(curve->map);
    curve->rebuild = 1;
    return 1;
}

int BuildToneCurve(ToneCurve* curve, int32_t position) {
    if (!EngineTablesReady() || curve == nullptr) return 0;
    if (position < -45 || position > 45) return 0;
    if (curve->rebuild == 0 && curve->position == position) return 1;
    curve->position = position;
    if (position == 0) {
        FillIdentity(curve->map);
        return 1;
    }
    double a = position > 0 ? position * 0.5 : position * -1 * 0.5;
    double angleA = (45 - a) * kPi / 180;
    double angleB = (a * kPi + kQuarterTurnTimesPi) / 180;
    ArcCurveContext context;
    context.x0 = std::cos(angleA);
    context.y0 = std::sin(angleA);
    context.dx = std::cos(angleB) - std::cos(angleA);
    context.dy = std::sin(angleB) - std::sin(angleA);
    context.curve = curve;
    WorkerPool::Run(position > 0 ? ArcCurveTask : MirroredArcCurveTask, &context, kToneCurveSize);
    return 1;
}

int BuildLightCurve(ToneCurve* curve, int32_t addLight, int32_t suppressLight) {
    if (!EngineTablesReady() || curve == nullptr) return 0;
    LightCurveContext context;
    context.curve = curve;
    if (addLight >= 0) {
        context.strength = static_cast<int64_t>(addLight) + 100;
        WorkerPool::Run(AddLightTask, &context, kLightSpan);
    } else {
        FillIdentity(curve->map, 0, kLightSpan);
    }
    if (suppressLight >= 0) {
        context.strength = static_cast<int64_t>(suppressLight) + 100;
        WorkerPool::Run(SuppressLightTask, &context, kLightSpan);
    } else {
        FillIdentity(curve->map, kLightHighlightFloor, kToneCurveSize);
    }
    return 1;
}

int ApplyToneCurves(CImgBuff* dst, CImgBuff* src, const ToneCurve* sCurve,
                    const ToneCurve* vCurve) {
    if (!EngineTablesReady() || dst == nullptr || src == nullptr) return 0;
    ToneCurveContext context;
    context.source = src->buffer;
    context.destination = dst->buffer;
    context.sCurve = sCurve != nullptr ? sCurve : &IdentityCurve;
    context.vCurve = vCurve != nullptr ? vCurve : &IdentityCurve;
    context.width = src->buffer->width;
    if (src->buffer->height > 0 && context.width > 0)
        WorkerPool::Run(ToneCurveRowsTask, &context, static_cast<unsigned>(src->buffer->height));
    return 1;
}

void ArcCurveTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<ArcCurveContext*>(context);
    for (uint32_t i = first; i < first + count; ++i)
        c->curve->map[i] = ClampToEntry(ArcValue(c, i));
}

void MirroredArcCurveTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<ArcCurveContext*>(context);
    for (uint32_t i = first; i < first + count; ++i) {
        double v = ArcValue(c, i);
        c->curve->map[i] = ClampToEntry(i - (v - i));
    }
}

void AddLightTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<LightCurveContext*>(context);
    for (uint32_t i = first; i < first + count; ++i) {
        double out = i + LightLift(i, c->strength);
        c->curve->map[i] = out > kLightShadowCap ? kLightShadowCap : static_cast<uint16_t>(out);
    }
}

void SuppressLightTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<LightCurveContext*>(context);
    for (uint32_t i = first; i < first + count; ++i) {
        double out = 65535.0 - i - LightLift(i, c->strength);
        c->curve->map[65535 - i] =
            out < kLightHighlightFloor ? kLightHighlightFloor : static_cast<uint16_t>(out);
    }
}

void IdentityCurveTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<IdentityCurveContext*>(context);
    for (uint32_t i = c->base + first; i < c->base + first + count; ++i)
        c->map[i] = static_cast<uint16_t>(i);
}

void LightGainTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<LightGainContext*>(context);
    for (uint32_t pair = first; pair < first + count; ++pair) {
        for (uint32_t i = 2 * pair; i < 2 * pair + 2; ++i) {
            // log10(0) is minus infinity; the cap applies there.
            double gain = i == 0 ? 2.5 : 1.5 - std::log10(30.0 * i / kLightSpan);
            c->table[i] = gain < 2.5 ? gain : 2.5;
        }
    }
}

void ToneCurveRowsTask(void* context, uint32_t first, uint32_t count) {
    auto* c = static_cast<ToneCurveContext*>(context);
    const uint16_t* sMap = c->sCurve->map;
    const uint16_t* vMap = c->vCurve->map;
    MapHsvRows(c->source, c->destination, c->width, first, count,
               [sMap, vMap](uint16_t&, uint16_t& s, uint16_t& v) {
                   s = sMap[s];
                   v = vMap[v];
               });
}
