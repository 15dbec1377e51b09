#pragma once

#include "util/LocalTime.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace corvane::test {

/// One evidence-log line: capture stamp, " | ", the log tool's event stamp and the payload.
inline std::string evidenceLine(int64_t capture, int64_t eventSecond, int micros,
                                const std::string& payload) {
    char fraction[16];
    std::snprintf(fraction, sizeof fraction, ".%06d", micros);
    return util::formatLocalDateTime(capture) + " | " + util::formatLocalDateTime(eventSecond) +
           fraction + " 0x2f1c3  Default  0x0  412  0  " + payload;
}

/// A varied evidence log of `count` lines, one a second from `start`: the owner's phone on
/// DirectLink, foreign devices on DirectLink and AWDL, resolutions with provisioning pairs,
/// culprits, sharing grants, keyboard and Bluetooth events, and plain noise with
/// multi-byte characters. The same arguments always give the same bytes.
inline std::string variedLog(int count, int64_t start) {
    std::string log;
    for (int i = 0; i < count; ++i) {
        const int64_t t = start + i;
        int64_t eventSecond = t - 1;
        int micros = static_cast<int>(int64_t{i} * 7919 % 990000);
        char mac[18];
        std::string payload;
        switch (i % 10) {
        case 0:
        case 5:
            std::snprintf(mac, sizeof mac, "0A:00:00:00:00:%02X", (i / 10) % 3);
            payload = std::string("rapportd: CUBonjourDevice ") + mac +
                      ", TT 0x10 stID 0a1b2c3d-4e5f-6a7b-8c9d-0123456789ab IDS 'Own01'";
            break;
        case 1:
            std::snprintf(mac, sizeof mac, "0B:00:00:00:00:%02X", (i / 10) % 5);
            payload = "rapportd: 1f2e3d4c-5b6a-7980-a1b2-fedcba987654, CUBonjourDevice " +
                      std::string(mac) + " TT 0x10 IDS 'Foe0" + std::to_string(i % 3) +
                      "' AID 'org.example'";
            break;
        case 2:
            std::snprintf(mac, sizeof mac, "0C:00:00:00:00:%02X", (i / 10) % 4);
            payload =
                "rapportd: RPIdentityDaemon Resolved DeviceAuthTag < AWDL > CUBonjourDevice " +
                std::string(mac) + " IDS 'Foe01' AID 'org.example' DeviceAuthTag: owner";
            break;
        case 3:
            // 3 ms after the resolution of the line before, so the pair finds it.
            eventSecond = t - 2;
            micros = static_cast<int>(int64_t{i - 1} * 7919 % 990000) + 3000;
            payload = "rapportd: CLinkD connection AcLv = Screen (7) IDS 'Foe01' client CID 0x2f "
                      "SF 0x41 < Screen Keyboard Screen >";
            break;
        case 4:
            payload = "kernel: nothing to see — café ünïcödé";
            break;
        case 6:
            payload = "sharingd: SameAccountDevice owner IDS 'Foe02' AID 'org.example' Screen (7)";
            break;
        case 7:
            payload = "bluetoothd: NeedsKeyboard nbAT <aa bb cc> IDS 'Foe02'";
            break;
        case 8:
            payload = "sharingd: Evaluating AuthTag from device BLE addr 12:34:56:78:9a:bc "
                      "IDS 'Foe01' selfAuthTag <01 02 03> AcLv Keyboard(5)";
            break;
        default:
            payload = "sharingd: found DirectLink peer";
            break;
        }
        log += evidenceLine(t, eventSecond, micros, payload);
        log += '\n';
    }
    return log;
}

} // namespace corvane::test
