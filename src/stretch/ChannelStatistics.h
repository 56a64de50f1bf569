// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "stretch/StretchParams.h"

// Stretch parameters of one channel plane (height x width samples of type T)
// from its statistics, normalised by `inputRange`. Both write a complete record
// (reserved values 0.0 and 1.0) into *params; a plane without pixels gets the
// default record. Pure functions on the caller's thread; they use no thread pool.
// Instantiated for uint8_t, uint16_t, int16_t, long, float, long long, double.

// The median rule: black point at median - 2.8 x MADN (white point at
// median + 2.8 x MADN for bright planes), midtones placing the median at a
// quarter of the output range. With excludeFloor, measured on the samples
// above the floor when those are at least a twentieth of the sample set.
template <typename T>
void computeChannelParams(
    const T* plane, StretchChannelParams* params, int inputRange, int height, int width, bool excludeFloor);

// The automatic rule: planes where more than half of the samples sit on the
// floor are placed by the 1st, 50th and 99.5th percentiles of the samples above
// it; other planes take the median rule with excludeFloor.
template <typename T>
void computeAutoChannelParams(const T* plane, StretchChannelParams* params, int inputRange, int height, int width);
