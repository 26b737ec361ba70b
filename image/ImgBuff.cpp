#include "image/ImgBuff.h"

#include <utility>

#include "image/PixelMemory.h"
#include "parallel/WorkerPool.h"

const uint32_t kBytesPerPixel[10] = {0, 1, 2, 4, 3, 6, 12, 24, 6, 4};

namespace {

uint64_t ByteCount(const C_ImgBuff& image) {
    if (!IsPixelType(image.type)) return 0;
    return static_cast<uint64_t>(image.height) * static_cast<uint64_t>(image.width) *
           kBytesPerPixel[image.type];
}

}  // namespace

C_ImgBuff::C_ImgBuff() {
    WorkerPool::Acquire();
}

C_ImgBuff::~C_ImgBuff() {
    WorkerPool::Release();
    FreePixelMemory(pixels);
    pixels = nullptr;
    type = PT_NONE;
    width = 0;
    height = 0;
}

int C_ImgBuff::Create(int32_t newWidth, int32_t newHeight, PixelType newType) {
    if (newWidth == width && newHeight == height && newType == type) {
        Clear();
        return 1;
    }
    FreePixelMemory(pixels);
    pixels = nullptr;
    type = PT_NONE;
    width = 0;
    height = 0;
    if (newWidth < 1 || newHeight < 1 || !IsPixelType(newType)) return 0;

    const uint64_t count = static_cast<uint64_t>(newWidth) * static_cast<uint64_t>(newHeight);
    if (count > UINT32_MAX) return 0;
    uint8_t* memory = AllocPixelMemory(count * kBytesPerPixel[newType]);
    if (!memory) return 0;
    pixels = memory;
    type = newType;
    width = newWidth;
    height = newHeight;
    return 1;
}

void C_ImgBuff::Clear() {
    ZeroBytes(pixels, ByteCount(*this));
}

C_ImgBuff& C_ImgBuff::Copy(const C_ImgBuff& source) {
    // Re-creating in place would zero the very bytes about to be copied.
    if (&source == this) return *this;
    if (!Create(source.width, source.height, source.type)) return *this;
    CopyBytes(pixels, source.pixels, ByteCount(*this));
    return *this;
}

int C_ImgBuff::GetInfo(int32_t* outWidth, int32_t* outHeight, PixelType* outType,
                       uint32_t* outBytesPerPixel) const {
    if (outWidth) *outWidth = width;
    if (outHeight) *outHeight = height;
    if (outType) *outType = type;
    if (outBytesPerPixel) *outBytesPerPixel = IsPixelType(type) ? kBytesPerPixel[type] : 0;
    return IsPixelType(type) ? 1 : 0;
}

void C_ImgBuff::Swap(C_ImgBuff& other) {
    std::swap(type, other.type);
    std::swap(width, other.width);
    std::swap(height, other.height);
    std::swap(pixels, other.pixels);
}

CImgBuff::CImgBuff() : buffer(new C_ImgBuff) {}

CImgBuff::~CImgBuff() {
    delete buffer;
}

CImgBuff& CImgBuff::Copy(const CImgBuff& source) {
    buffer->Copy(*source.buffer);
    return *this;
}

int CImgBuff::ConvertType(PixelType newType) {
    return buffer->ConvertType(newType);
}

int CImgBuff::Is8Bit() const {
    const PixelType t = buffer->type;
    return t == PT_GRAY8 || t == PT_RGB8 || t == PT_CMYK8 ? 1 : 0;
}

int CImgBuff::Is16Bit() const {
    const PixelType t = buffer->type;
    return t == PT_GRAY16 || t == PT_RGB16 || t == PT_HSV16 ? 1 : 0;
}

int CImgBuff::Is32Bit() const {
    const PixelType t = buffer->type;
    return t == PT_GRAY32 || t == PT_RGB32 ? 1 : 0;
}

uint8_t* CImgBuff::GetData(int32_t* outWidth, int32_t* outHeight, PixelType* outType) const {
    if (outWidth) *outWidth = buffer->width;
    if (outHeight) *outHeight = buffer->height;
    if (outType) *outType = buffer->type;
    return buffer->pixels;
}
