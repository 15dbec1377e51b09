#!/bin/bash
# Installs the Evidence Vault: the sealing daemon as a root service that watches the owner's
# evidence log. Run as root: the application starts it through the system's administrator
# prompt (osascript on macOS, pkexec on Linux).
#
# It finds the owner itself: on macOS the user logged in at the console, on Linux the user
# pkexec names in PKEXEC_UID (or sudo in SUDO_UID). Every location is prefixed with
# $CORVANE_VAULT_PREFIX when it is set (tests only); then nothing is registered with the
# service manager.
set -eu
umask 022

prefix=${CORVANE_VAULT_PREFIX:-}
here=$(cd "$(dirname "$0")" && pwd)
label=com.velmora.corvanevault
vault="$prefix/var/corvane_vault"
daemon="$prefix/usr/local/bin/corvane_vault_daemon.sh"
out_log="$prefix/var/log/corvane_vault.log"
err_log="$prefix/var/log/corvane_vault_error.log"

fail() {
    echo "install_vault_daemon: $*" >&2
    exit 1
}

[ -f "$here/corvane_vault_daemon.sh" ] || fail "the daemon script is missing beside the installer"

# The vault and its seal files are root's, readable by the owner's group alone (the daemon
# runs without the right to change owners).
install_files() {
    local group
    group=$(id -g "$1")
    mkdir -p "$vault" "$(dirname "$daemon")" "$(dirname "$out_log")"
    touch "$vault/CV_personal.sha256" "$vault/MASTER_SEAL.sha256"
    chown "0:$group" "$vault" "$vault/CV_personal.sha256" "$vault/MASTER_SEAL.sha256"
    chmod 750 "$vault"
    chmod 640 "$vault/CV_personal.sha256" "$vault/MASTER_SEAL.sha256"
    install -m 755 "$here/corvane_vault_daemon.sh" "$daemon"
    touch "$out_log" "$err_log"
    chmod 644 "$out_log" "$err_log"
}

xml_escape() {
    printf '%s' "$1" | sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g'
}

# One word of a systemd command line: double-quoted, with \ " escaped and the specifier and
# variable characters % and $ doubled.
systemd_word() {
    printf '"%s"' "$(printf '%s' "$1" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g' -e 's/%/%%/g' -e 's/\$/$$/g')"
}

# One path of a systemd path list: the same, but $ stays as it is (lists expand no variables).
systemd_path() {
    printf '"%s"' "$(printf '%s' "$1" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g' -e 's/%/%%/g')"
}

install_macos() {
    local user home plist
    user=$(stat -f %Su /dev/console)
    case "$user" in
    "" | root | loginwindow) fail "nobody is logged in at the console" ;;
    esac
    home=$(dscl . -read "/Users/$user" NFSHomeDirectory | sed -n 's/^NFSHomeDirectory: //p')
    [ -n "$home" ] || fail "no home folder for $user"
    local log="$home/Library/Application Support/CV/CV_personal.log"
    install_files "$(id -u "$user")"
    plist="$prefix/Library/LaunchDaemons/$label.plist"
    mkdir -p "$(dirname "$plist")"
    cat >"$plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>Label</key><string>$label</string>
  <key>ProgramArguments</key>
  <array>
    <string>/bin/bash</string>
    <string>$(xml_escape "$daemon")</string>
    <string>$(xml_escape "$log")</string>
    <string>$(id -u "$user")</string>
  </array>
  <key>RunAtLoad</key><true/>
  <key>KeepAlive</key><true/>
  <key>ProcessType</key><string>Background</string>
  <key>LowPriorityIO</key><true/>
  <key>LowPriorityBackgroundIO</key><true/>
  <key>Nice</key><integer>10</integer>
  <key>Umask</key><integer>18</integer>
  <key>StandardOutPath</key><string>$(xml_escape "$out_log")</string>
  <key>StandardErrorPath</key><string>$(xml_escape "$err_log")</string>
</dict>
</plist>
PLIST
    chmod 644 "$plist"
    if [ -z "$prefix" ]; then
        chown root:wheel "$plist" "$daemon"
        launchctl bootout "system/$label" 2>/dev/null || true
        launchctl bootstrap system "$plist"
    fi
}

install_linux() {
    local uid home unit
    uid=${PKEXEC_UID:-${SUDO_UID:-}}
    [ -n "$uid" ] || fail "run through pkexec or sudo, so the owner is known"
    home=$(getent passwd "$uid" | cut -d: -f6)
    [ -n "$home" ] || fail "no home folder for user $uid"
    local log="$home/.local/share/CV/CV_personal.log"
    case "$log" in
    *$'\n'*) fail "the evidence log's path holds a line break" ;;
    esac
    install_files "$uid"
    unit="$prefix/etc/systemd/system/$label.service"
    mkdir -p "$(dirname "$unit")"
    cat >"$unit" <<UNIT
[Unit]
Description=Corvane Evidence Vault: seals the evidence log
After=local-fs.target

[Service]
Type=simple
ExecStart=/bin/bash $(systemd_word "$daemon") $(systemd_word "$log") $(systemd_word "$uid")
Restart=always
RestartSec=30
Nice=10
IOSchedulingClass=idle
StandardOutput=append:$out_log
StandardError=append:$err_log
# The daemon reads one file and appends to the two seal files of the vault folder (the service
# manager itself opens the two logs above): everything else is out of its reach. It stays
# root, with only the right to read past permissions, so it can read the owner's log in a
# private home while the owner cannot touch the seals.
UMask=0022
NoNewPrivileges=yes
CapabilityBoundingSet=CAP_DAC_READ_SEARCH
AmbientCapabilities=
ProtectSystem=strict
ProtectHome=read-only
ReadWritePaths=$(systemd_path "$vault")
PrivateTmp=yes
PrivateDevices=yes
PrivateMounts=yes
PrivateNetwork=yes
PrivateIPC=yes
IPAddressDeny=any
RestrictAddressFamilies=none
ProtectKernelTunables=yes
ProtectKernelModules=yes
ProtectKernelLogs=yes
ProtectControlGroups=yes
ProtectClock=yes
ProtectHostname=yes
ProtectProc=invisible
ProcSubset=pid
RestrictNamespaces=yes
RestrictRealtime=yes
RestrictSUIDSGID=yes
LockPersonality=yes
MemoryDenyWriteExecute=yes
KeyringMode=private
DevicePolicy=closed
SystemCallArchitectures=native
SystemCallFilter=@system-service
SystemCallFilter=~@privileged @resources
SystemCallErrorNumber=EPERM

[Install]
WantedBy=multi-user.target
UNIT
    chmod 644 "$unit"
    if [ -z "$prefix" ]; then
        systemctl daemon-reload
        systemctl enable "$label.service"
        systemctl restart "$label.service"
    fi
}

case "$(uname -s)" in
Darwin) install_macos ;;
Linux) install_linux ;;
*) fail "unsupported system $(uname -s)" ;;
esac
