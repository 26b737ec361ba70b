// White balance: a grey point, measured from the photo or picked by the user, becomes a colour
// cache whose transform shifts every colour in the a*b* plane by the amount that makes the grey
// point neutral.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "adjust/ColorCache.h"
#include "image/ImgBuff.h"

struct GreyLabEntry {
    double a;
    double b;
};

// Entry i: a*, b* of the 8-bit grey (i, i, i) taken through XYZ; small residues of the
// conversions that the white balance subtracts out.
extern GreyLabEntry GreyLabTable[256];
extern std::atomic<uint32_t> greyLabTableBuilt;

// Fills GreyLabTable once per process and sets greyLabTableBuilt; safe from several threads.
void BuildGreyLabTable();

// A colour that should be neutral: sRGB (gamma-encoded), each channel 0..1.
struct GreyPoint {
    double r;
    double g;
    double b;
    bool operator==(const GreyPoint&) const = default;
};

// The cache's userData: the a*, b* shift of every colour.
struct WhiteBalanceShift {
    double da;
    double db;
};

// Estimates the colour that should be neutral, as r, g, b in 0..1 (each output may be null).
// Blocks with a saturation above saturationLimitPct % or a value below minValuePct % of full
// scale are left out; without any block left, and for images under 128 pixels in a direction
// or with the limits 0 and 0, the whole-image mean is used. 1 on success, 0 for an empty or
// invalid image (outputs untouched).
int EstimateGreyPoint(const CImgBuff* image, double* r, double* g, double* b,
                      int saturationLimitPct, int minValuePct);

// Blocks of the grey-point measurement a direction, at most.
inline constexpr int32_t kGreyBlocksMax = 18;

// The measurement of EstimateGreyPoint, fed the image's rows in any slicing and order: its sums
// are of integers, so a photo read band by band gives the same grey point as the whole photo.
class GreyPointMeter {
  public:
    // For a width x height image (both at least 1) and EstimateGreyPoint's limits.
    GreyPointMeter(int32_t width, int32_t height, int saturationLimitPct, int minValuePct);
    // Adds every row of rows (the image's width), which are image rows first onwards, on the
    // worker pool.
    void AddRows(const C_ImgBuff& rows, int32_t first);
    // The grey point as EstimateGreyPoint gives it once every row is added; 0 before any was.
    int Result(double* r, double* g, double* b) const;

  private:
    struct Rows {
        GreyPointMeter* meter;
        const C_ImgBuff* rows;
        int32_t first;
    };
    // AddRows' pool task: its rows of a Rows.
    static void RowsTask(void* context, uint32_t from, uint32_t count);

    int32_t width_;
    int32_t height_;
    int64_t saturationLimit_;  // 16-bit scale
    int64_t minValue_;
    bool blockMode_ = false;  // otherwise one block, the whole image
    int32_t blockWidth_;
    int32_t blockHeight_;
    int32_t blocksAcross_ = 1;
    int32_t blockRows_ = 1;
    std::mutex lock_;                                         // guards what follows
    uint64_t sums_[kGreyBlocksMax * kGreyBlocksMax][3] = {};  // R, G, B of each block, row-major
    int64_t rowsAdded_ = 0;
};

// A new cache that makes the sRGB colour (r, g, b) neutral, or null when memory is short.
ColorCache* CreateWhiteBalanceCache(double r, double g, double b);

// The colour transform written out: sRGB decoded, taken through L*a*b*, shifted, and encoded
// back with the real pow; userData is a WhiteBalanceShift.
int WhiteBalanceColor(uint8_t* r, uint8_t* g, uint8_t* b, void* userData);
// The cache's transform: bit for bit WhiteBalanceColor, with the decoding read from a table of
// its 256 results and each final byte found among 255 thresholds of the linear value, so that
// only the cube roots of L*a*b* remain libm calls.
int WhiteBalanceColorFast(uint8_t* r, uint8_t* g, uint8_t* b, void* userData);
// The cache's transform of many colours at once: each bit for bit as WhiteBalanceColor gives it,
// four at a time where the processor allows.
void TransformWhiteBalanceColours(uint8_t (*colours)[3], uint32_t count, void* userData);

// The final bytes of WhiteBalanceColorFast for count linear values (four at a time where the
// processor allows), and their 256 thresholds (entry k: the least linear value whose byte is k
// or more; entry 0 unused).
void EncodedSrgbBytes(const double* linear, uint8_t* bytes, size_t count);
const double* SrgbByteThresholds();
