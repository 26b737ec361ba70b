// Row tasks of whole-buffer pixel type conversion, shared with the colour cache, which converts
// a temporary copy with the same tasks and the same choice of task as ConvertType.
#pragma once

#include "image/ImgBuff.h"
#include "parallel/WorkerPool.h"

struct ConvertContext {
    PixelType targetType;
    const C_ImgBuff* source;
    C_ImgBuff* destination;  // same width and height as source, of targetType
    int32_t width;
};

void GrayFromRgbRows(void* context, uint32_t first, uint32_t count);
void RgbFromGrayRows(void* context, uint32_t first, uint32_t count);
void WidenRows(void* context, uint32_t first, uint32_t count);
void NarrowRows(void* context, uint32_t first, uint32_t count);
void ConvertRowsGeneric(void* context, uint32_t first, uint32_t count);

// The task ConvertType uses for a pair of types: a dedicated one where it exists, else the
// generic one.
RowTask ChooseConvertTask(PixelType from, PixelType to);
