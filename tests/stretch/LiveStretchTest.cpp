// SPDX-License-Identifier: GPL-3.0-or-later
#include "stretch/LiveStretch.h"

#include <gtest/gtest.h>

TEST(LiveStretch, StartsInactiveWithIdentity)
{
    const LiveStretch live;
    EXPECT_FALSE(live.stretchActive());
    EXPECT_EQ(live.params().channel[2].highlights, 1.0f);
}

TEST(LiveStretch, IdentityValuesLeaveItInactive)
{
    LiveStretch live;
    live.setParams(0.0, 0.5, 1.0);
    EXPECT_FALSE(live.stretchActive());
    live.setParams(0.0, 0.5, 0.99999999999);
    EXPECT_FALSE(live.stretchActive()) << "rounds to 1.0f";
}

TEST(LiveStretch, AnyOtherValueActivatesIt)
{
    LiveStretch live;
    live.setParams(0.0, 0.5, 0.999);
    EXPECT_TRUE(live.stretchActive());
    live.setParams(0.0, 0.5, 1.0);
    EXPECT_FALSE(live.stretchActive()) << "back to identity";
    live.setParams(0.01, 0.5, 1.0);
    EXPECT_TRUE(live.stretchActive());
    live.setParams(0.0, 0.4, 1.0);
    EXPECT_TRUE(live.stretchActive());
}

TEST(LiveStretch, StoresValuesUncheckedInEveryChannel)
{
    LiveStretch live;
    live.setParams(0.7, -0.25, 1.5);
    for (const StretchChannelParams& channel : live.params().channel) {
        EXPECT_EQ(channel.shadows, 0.7f);
        EXPECT_EQ(channel.midtones, -0.25f);
        EXPECT_EQ(channel.highlights, 1.5f);
        EXPECT_EQ(channel.reserved0, 0.0f);
        EXPECT_EQ(channel.reserved1, 1.0f);
    }
    EXPECT_TRUE(live.stretchActive());
}
