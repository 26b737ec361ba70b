// Turning a picture by quarter turns and mirroring it. Every pixel moves whole, so a picture of
// any type, 8 or 16 bits a channel, comes out with exactly its own values.
#pragma once

#include <cstdint>

#include "image/ImgBuff.h"

// Turned quarterTurns times clockwise, then, with mirror, mirrored left to right: the eight ways
// a picture can stand.
struct ImageTurn {
    int32_t quarterTurns = 0;  // 0..3
    bool mirror = false;

    bool operator==(const ImageTurn&) const = default;
    bool IsNone() const { return quarterTurns == 0 && !mirror; }
    // This turn followed by next.
    ImageTurn Then(ImageTurn next) const;
    // The turn that undoes this one.
    ImageTurn Inverse() const;
};

// A quarter turn clockwise, one anticlockwise, and a mirror left to right.
inline constexpr ImageTurn kTurnRight{1, false};
inline constexpr ImageTurn kTurnLeft{3, false};
inline constexpr ImageTurn kMirror{0, true};

// Makes turned a copy of source turned by turn (width and height swapped for an odd number of
// quarter turns), on the worker pool. Returns 1, or 0 with turned empty when source is empty or
// memory is short.
int TurnImage(const C_ImgBuff& source, ImageTurn turn, C_ImgBuff* turned);
