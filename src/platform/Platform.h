#pragma once

#include "util/Expected.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

/// The only place that knows which operating system it runs on. Each function has one
/// implementation per system (Platform_macos.cpp, Platform_linux.cpp), chosen by the build.
namespace corvane::platform {

/// The per-user data folder, resolved afresh on every call. Creates nothing.
/// macOS: ~/Library/Application Support/CV. Linux: ${XDG_DATA_HOME:-~/.local/share}/CV.
std::filesystem::path dataFolder();

/// The folder holding the running executable.
std::filesystem::path executableDir();

/// The resources shipped beside the binaries (the bundle's Resources folder on macOS).
std::filesystem::path resourcesDir();

/// The system log tool: /usr/bin/log on macOS, the corvane-log stand-in elsewhere.
std::filesystem::path logToolPath();

/// Has the calling process end when its parent does, for a child that must not outlive the
/// program that reads it. Linux: the parent-death signal (SIGTERM), set by the child itself.
/// macOS: nothing to do; the system log tool dies of its first write once the pipe closes.
void endWithParent();

/// A command that needs administrator rights, in the form each system runs it: macOS runs
/// the AppleScript source through osascript ("with administrator privileges" inside it),
/// Linux runs the argument vector directly (it starts with pkexec). No shell sits in between.
struct PrivilegedCommand {
    std::string appleScript;
    std::vector<std::string> argv;
};

/// The user id of the process at the other end of a connected local socket, or nothing when
/// the system does not say.
std::optional<unsigned> peerUid(int socket);

/// Runs the command and waits for it; the system's own authentication dialog is the only
/// prompt. The exit status, or nothing when it could not be started.
std::optional<int> runPrivileged(const PrivilegedCommand& command);

/// What the owner can do when the log tool may not read the system log, where the system
/// has no settings pane to open for it (Linux); nothing on macOS, whose Full Disk Access
/// pane the app opens.
std::optional<std::string> logAccessAdvice();

/// Start at login, off until the owner turns it on. Linux: an XDG autostart entry
/// (${XDG_CONFIG_HOME:-~/.config}/autostart/corvane-monitor.desktop); macOS: a login item, the
/// per-user launch agent ~/Library/LaunchAgents/com.corvane.monitor.plist. The entry itself is
/// the setting: there is nothing else to keep in step with it.
std::filesystem::path loginItemPath();
bool startsAtLogin();
/// Writes the entry that starts `executable` at login, or removes it.
util::Expected<bool> setStartAtLogin(bool on, const std::filesystem::path& executable);

} // namespace corvane::platform
