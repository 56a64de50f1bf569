// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/LiveStretch.h"

void LiveStretch::setParams(double shadows, double midtones, double highlights)
{
    StretchChannelParams channel;
    channel.shadows = static_cast<float>(shadows);
    channel.highlights = static_cast<float>(highlights);
    channel.midtones = static_cast<float>(midtones);
    params_.channel.fill(channel);
    // Compared after the conversion, so 0.9999999999 (which rounds to 1.0f) is no stretch.
    stretchActive_ = !(channel.highlights == 1.0f && channel.midtones == 0.5f && channel.shadows == 0.0f);
}
