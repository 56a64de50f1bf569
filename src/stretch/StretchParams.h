// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>

// Display stretch of one channel: black point, white point (both normalised to
// the input range) and the balance of the midtones transfer function.
struct StretchChannelParams {
    float shadows = 0.0f;
    float highlights = 1.0f;
    float midtones = 0.5f;
    // Written as 0.0 and 1.0 everywhere, read nowhere.
    float reserved0 = 0.0f;
    float reserved1 = 1.0f;
};

// Channel 0 is grey or red, 1 green, 2 blue. The defaults are the identity stretch.
struct StretchParams {
    std::array<StretchChannelParams, 3> channel;
};
