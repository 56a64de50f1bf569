// SPDX-License-Identifier: GPL-3.0-or-later
#include "status/PictureArrivals.h"

namespace {
using Seconds = std::chrono::duration<double>;
}

void PictureArrivals::record(const PictureArrival& arrival)
{
    // A picture shown again (with a new stretch) has not arrived again.
    if (!arrivals_.empty() && arrivals_.back().monotonic == arrival.monotonic)
        return;
    arrivals_.push_back(arrival);
    if (arrivals_.size() > kRateWindow)
        arrivals_.pop_front();
}

double PictureArrivals::ageSeconds(std::chrono::steady_clock::time_point now) const
{
    return arrivals_.empty() ? 0.0 : Seconds(now - arrivals_.back().monotonic).count();
}

double PictureArrivals::fps() const
{
    if (arrivals_.size() < 2)
        return 0.0;
    const double span = Seconds(arrivals_.back().monotonic - arrivals_.front().monotonic).count();
    return span > 0.0 ? double(arrivals_.size() - 1) / span : 0.0;
}
