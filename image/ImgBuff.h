// The typed image buffer: a rectangle of packed pixels of one PixelType in one owned block.
#pragma once

#include <cstdint>

using PixelType = uint32_t;

enum : PixelType {
    PT_NONE = 0,
    PT_GRAY8 = 1,
    PT_GRAY16 = 2,
    PT_GRAY32 = 3,
    PT_RGB8 = 4,
    PT_RGB16 = 5,
    PT_RGB32 = 6,
    PT_XYZ = 7,
    PT_HSV16 = 8,
    PT_CMYK8 = 9,
};

// Bytes per pixel, indexed by PixelType (0..9).
extern const uint32_t kBytesPerPixel[10];

// A type a buffer can hold: every PixelType but PT_NONE.
inline bool IsPixelType(PixelType type) {
    return type >= PT_GRAY8 && type <= PT_CMYK8;
}

class C_ImgBuff {
  public:
    C_ImgBuff();
    virtual ~C_ImgBuff();
    C_ImgBuff(const C_ImgBuff&) = delete;
    C_ImgBuff& operator=(const C_ImgBuff&) = delete;

    int Create(int32_t width, int32_t height, PixelType type);
    void Clear();
    C_ImgBuff& Copy(const C_ImgBuff& source);
    int ConvertType(PixelType newType);
    int GetInfo(int32_t* width, int32_t* height, PixelType* type, uint32_t* bytesPerPixel) const;
    // Exchanges the pixels, type and size with other, copying nothing.
    void Swap(C_ImgBuff& other);

    // Single-pixel access in any representation, converting from or to the buffer's own type.
    // Each returns 1 when done, 0 for a pixel outside the buffer or an empty buffer. Setters use
    // only the low 8 or 16 bits of their arguments.
    int SetGray8(int32_t x, int32_t y, uint32_t grey);
    int GetGray8(int32_t x, int32_t y, uint8_t* grey) const;
    int SetGray16(int32_t x, int32_t y, uint32_t grey);
    int GetGray16(int32_t x, int32_t y, uint16_t* grey) const;
    int GetGray32(int32_t x, int32_t y, uint32_t* grey) const;
    int SetRGB8(int32_t x, int32_t y, uint32_t r, uint32_t g, uint32_t b);
    int GetRGB8(int32_t x, int32_t y, uint8_t* r, uint8_t* g, uint8_t* b) const;
    int SetRGB16(int32_t x, int32_t y, uint32_t r, uint32_t g, uint32_t b);
    int GetRGB16(int32_t x, int32_t y, uint16_t* r, uint16_t* g, uint16_t* b) const;
    int GetRGB32(int32_t x, int32_t y, uint32_t* r, uint32_t* g, uint32_t* b) const;
    int SetHSV16(int32_t x, int32_t y, uint32_t h, uint32_t s, uint32_t v);
    int GetHSV16(int32_t x, int32_t y, uint16_t* h, uint16_t* s, uint16_t* v) const;
    int GetCMYK8(int32_t x, int32_t y, uint8_t* c, uint8_t* m, uint8_t* yellow, uint8_t* k) const;
    int GetXYZ(int32_t x, int32_t y, double* cx, double* cy, double* cz) const;

    PixelType type = PT_NONE;
    int32_t width = 0;
    int32_t height = 0;
    uint8_t* pixels = nullptr;
};

// Owning holder of exactly one C_ImgBuff, for long-lived images.
class CImgBuff {
  public:
    CImgBuff();
    virtual ~CImgBuff();
    CImgBuff(const CImgBuff&) = delete;
    CImgBuff& operator=(const CImgBuff&) = delete;

    CImgBuff& Copy(const CImgBuff& source);
    int ConvertType(PixelType newType);
    int Is8Bit() const;
    int Is16Bit() const;
    int Is32Bit() const;
    // The pixel pointer (null for an empty buffer); the shape goes to the non-null pointers.
    uint8_t* GetData(int32_t* width, int32_t* height, PixelType* type) const;

    C_ImgBuff* const buffer;
};
