#include <gtest/gtest.h>

#include <cstring>

#include "flavor_probe.h"

// The build links the file of the flavor it defines, and the shared part once.
TEST(Flavor, BuildPicksTheFlavorsOwnFile) {
#if defined(TV_FLAVOR_NT) && !defined(TV_FLAVOR_9X)
    EXPECT_STREQ(FlavorName(), "nt");
#elif defined(TV_FLAVOR_9X) && !defined(TV_FLAVOR_NT)
    EXPECT_STREQ(FlavorName(), "9x");
#else
    FAIL() << "exactly one flavor must be defined";
#endif
    EXPECT_EQ(FlavorShared(), 42);
}

TEST(Flavor, PlatformIntegerWidths) {
#if defined(__i386__)
    EXPECT_EQ(sizeof(void*), 4u);
#else
    EXPECT_EQ(sizeof(void*), 8u);
#endif
}
