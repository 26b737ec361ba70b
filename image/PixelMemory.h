// Large blocks of memory: the pixels of image buffers and display bitmaps are taken in 4096-byte
// granules with the block's size as a 32-bit number in front, and the pointer handed out lies 4
// bytes into the block. Copies and fills of such blocks run on the worker pool from a size up.
#pragma once

#include <cstdint>

// A zero-filled block able to hold length bytes; null when the block's size would not fit in 32
// bits or memory is short.
uint8_t* AllocPixelMemory(uint64_t length);
// Releases a block of AllocPixelMemory; null is allowed.
void FreePixelMemory(uint8_t* memory);

// memcpy and memset to zero of n bytes.
void CopyBytes(uint8_t* destination, const uint8_t* source, uint64_t n);
void ZeroBytes(uint8_t* destination, uint64_t n);
