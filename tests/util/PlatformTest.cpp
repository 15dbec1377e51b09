#include "platform/Platform.h"

#include <cstdlib>
#include <gtest/gtest.h>

using corvane::platform::dataFolder;

TEST(Platform, DataFolderFollowsXdgAndHomeAndCreatesNothing) {
    setenv("HOME", "/nonexistent-home", 1);
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(dataFolder(), "/nonexistent-home/.local/share/CV");
    setenv("XDG_DATA_HOME", "relative/ignored", 1);
    EXPECT_EQ(dataFolder(), "/nonexistent-home/.local/share/CV");
    setenv("XDG_DATA_HOME", "/xdg", 1);
    EXPECT_EQ(dataFolder(), "/xdg/CV");
    EXPECT_EQ(dataFolder(), dataFolder());
    EXPECT_FALSE(std::filesystem::exists("/xdg"));
}
