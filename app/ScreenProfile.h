// The screen's colour profile as the X server publishes it: the ICC profile a colour manager
// (colord, a calibration tool) puts in the root window's _ICC_PROFILE property.
#pragma once

#include <QByteArray>

// The profile's bytes for the window's X screen; empty when the program does not run on X11 (the
// offscreen platform of tests, Wayland) or no profile is set, which the preview takes for sRGB.
QByteArray ReadScreenProfile();
