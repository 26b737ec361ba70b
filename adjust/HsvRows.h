// The row walk shared by the passes that map each HSV16 pixel of a source to the same place of a
// destination (tone curves, colour bands).
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/ImgBuff.h"

// Calls map(h, s, v) (references, changed in place) for every pixel of rows first .. first +
// count - 1 and writes the result to the same pixel of dst. HSV16 samples are stored as they are
// read and written, so two HSV16 buffers of one shape are walked directly; any other pair goes
// through the converting accessors, skipping pixels that either buffer lacks.
template <typename Map>
void MapHsvRows(const C_ImgBuff* src, C_ImgBuff* dst, int32_t width, uint32_t first, uint32_t count,
                Map map) {
    if (src->type == PT_HSV16 && dst->type == PT_HSV16 && dst->width == src->width &&
        dst->height == src->height && src->pixels != nullptr && dst->pixels != nullptr) {
        const size_t rowSamples = static_cast<size_t>(width) * 3;
        for (uint32_t y = first; y < first + count; ++y) {
            const uint16_t* in = reinterpret_cast<const uint16_t*>(src->pixels) + y * rowSamples;
            uint16_t* out = reinterpret_cast<uint16_t*>(dst->pixels) + y * rowSamples;
            for (size_t n = 0; n < rowSamples; n += 3) {
                uint16_t h = in[n], s = in[n + 1], v = in[n + 2];
                map(h, s, v);
                out[n] = h;
                out[n + 1] = s;
                out[n + 2] = v;
            }
        }
        return;
    }
    for (uint32_t y = first; y < first + count; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            uint16_t h, s, v;
            if (!src->GetHSV16(x, static_cast<int32_t>(y), &h, &s, &v)) continue;
            map(h, s, v);
            dst->SetHSV16(x, static_cast<int32_t>(y), h, s, v);
        }
    }
}
