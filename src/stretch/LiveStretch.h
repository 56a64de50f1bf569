// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "stretch/StretchParams.h"

// The live feed's stretch settings: one linked set of values for all three
// channels, and whether they differ from the identity stretch.
// Not thread-safe: the live client keeps it under its frame mutex.
class LiveStretch {
public:
    // Stores the values unchecked in every channel; the reserved values become 0.0 and 1.0.
    void setParams(double shadows, double midtones, double highlights);

    const StretchParams& params() const { return params_; }

    // False exactly while the stored floats are the identity (0.0, 1.0, 0.5).
    bool stretchActive() const { return stretchActive_; }

private:
    StretchParams params_;
    bool stretchActive_ = false;
};
