#include "platform/Platform.h"

#include <cstdlib>
#include <algorithm>
#include <cstddef>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
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

TEST(Platform, PeerUidNamesTheUserAtTheOtherEndOfALocalSocket) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    EXPECT_EQ(corvane::platform::peerUid(pair[0]), ::getuid());
    ::close(pair[0]);
    ::close(pair[1]);
    if (::getuid() != 0) {
        return; // another user's end needs root to make
    }
    // A listener in the abstract namespace; a child that becomes nobody connects to it.
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "corvane-peer-test-" + std::to_string(::getpid());
    std::copy(name.begin(), name.end(), address.sun_path + 1);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ::_exit(::setuid(65534) == 0 &&
                        ::connect(s, reinterpret_cast<sockaddr*>(&address), size) == 0
                    ? 0
                    : 1);
    }
    const int peer = ::accept(listener, nullptr, nullptr);
    EXPECT_EQ(corvane::platform::peerUid(peer), 65534u);
    ::waitpid(child, nullptr, 0);
    ::close(peer);
    ::close(listener);
}
