#include <gtest/gtest.h>

#include "app/build_info.h"

using namespace kavrin;

TEST(BuildInfo, CompileDateIsReadInItsZoneAndWrittenInUtc) {
    EXPECT_EQ(build_stamp("Sep  5 2012", "08:00:00", QTimeZone(9 * 3600)), "20120904230000");
    EXPECT_EQ(build_stamp("Sep 20 2012", "21:34:14", QTimeZone(0)), "20120920213414");
    EXPECT_EQ(build_stamp("Dec 31 2012", "23:30:00", QTimeZone(-5 * 3600)), "20130101043000");
    EXPECT_EQ(build_stamp("Jan  1 2013", "00:00:00", QTimeZone(1 * 3600)), "20121231230000");
    EXPECT_TRUE(build_stamp("Foo 99 20x2", "08:00:00", QTimeZone(0)).isEmpty());
}

TEST(BuildInfo, ThreadCountLeavesOneCoreWithinOneAndTwelve) {
    EXPECT_EQ(initial_cpu_count(0), 1);
    EXPECT_EQ(initial_cpu_count(1), 1);
    EXPECT_EQ(initial_cpu_count(2), 1);
    EXPECT_EQ(initial_cpu_count(8), 7);
    EXPECT_EQ(initial_cpu_count(13), 12);
    EXPECT_EQ(initial_cpu_count(64), 12);
}
