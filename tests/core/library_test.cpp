#include <gtest/gtest.h>

#include "kestrova/screenrecorder.h"

TEST(Library, VersionIsConstant) {
    EXPECT_STREQ(screenrecorder_version(), "1.0.0");
    EXPECT_EQ(screenrecorder_version(), screenrecorder_version());
}

TEST(Library, LastErrorStartsEmpty) {
    ASSERT_NE(screenrecorder_last_error(), nullptr);
    EXPECT_STREQ(screenrecorder_last_error(), "");
}
