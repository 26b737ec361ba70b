// The quarter-size copy of a photo that the sliders work on while a thumb is dragged.
#pragma once

#include "image/ImgBuff.h"

// Makes proxy a PT_HSV16 image of (width / 4) x (height / 4) from source, a PT_HSV16 photo: each
// proxy pixel takes the mean saturation and value of its 4 x 4 block and the hue of the block's
// bottom-right pixel (averaging hues across red would be meaningless); the last 1 to 3 columns
// and rows of the photo are dropped. Returns 1, or 0 with proxy empty when source is empty or of
// another type, smaller than 4 pixels across or down, or memory runs short.
int MakeProxySource(const CImgBuff& source, CImgBuff* proxy);
