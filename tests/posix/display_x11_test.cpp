// Display numbering over a real X server: RandR monitors of a private Xvfb.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/xvfb_posix.h"

TEST(XvfbFixture, StartsAPrivateServerAndRestoresDisplay) {
    const char *before = std::getenv("DISPLAY");
    std::string saved = before ? before : "";
    bool had = before != nullptr;
    {
        xvfb_server x(640, 480);
        ASSERT_TRUE(x.ok());
        EXPECT_EQ(std::string(std::getenv("DISPLAY")), x.display());
        EXPECT_EQ(run_x_command("xdpyinfo >/dev/null 2>&1"), 0);
        {
            no_display_scope nd;
            EXPECT_EQ(std::getenv("DISPLAY"), nullptr);
        }
        EXPECT_EQ(std::string(std::getenv("DISPLAY")), x.display());
    }
    const char *after = std::getenv("DISPLAY");
    EXPECT_EQ(after != nullptr, had);
    if (had) {
        EXPECT_EQ(std::string(after), saved);
    }
}
