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

/// `count` lines, one a second from `start`, that make every part of the state grow: the
/// owner's phone and foreign devices on DirectLink, AWDL resolutions each followed 3 ms
/// later by a connection with an access level, culprits, sharing grants, keyboard and
/// Bluetooth events, and noise with multi-byte characters. Same arguments, same bytes.
inline std::string variedLog(int count, int64_t start) {
    static const char* const kPayloads[] = {
        "CUBonjourDevice 0A:00:00:00:00:0%d, TT 0x10 stID 0a1b2c3d-4e5f-6a7b-8c9d-0123456789ab "
        "IDS 'Own01'",
        "1f2e3d4c-5b6a-7980-a1b2-fedcba987654, CUBonjourDevice 0B:00:00:00:00:0%d TT 0x10 "
        "IDS 'Foe01' AID 'org.example'",
        "RPIdentityDaemon Resolved DeviceAuthTag < AWDL > CUBonjourDevice 0C:00:00:00:00:0%d "
        "IDS 'Foe01' AID 'org.example' DeviceAuthTag: owner",
        "CLinkD connection AcLv = Screen (7) IDS 'Foe01' client CID 0x2f SF 0x41 < Scrn Kbd >",
        "kernel: nothing to see — café %d",
        "SameAccountDevice owner IDS 'Foe02' AID 'org.example' Screen (7)",
        "bluetoothd: NeedsKeyboard nbAT <aa bb cc> IDS 'Foe02'",
        "Evaluating AuthTag from device BLE addr 12:34:56:78:9a:bc IDS 'Foe01' "
        "selfAuthTag <01 02 03> AcLv Keyboard(5)",
    };
    std::string log;
    char payload[256];
    for (int i = 0; i < count; ++i) {
        const int kind = i % 8;
        const int micros = static_cast<int>(int64_t{i - (kind == 3)} * 7919 % 990000);
        std::snprintf(payload, sizeof payload, kPayloads[kind], i / 8 % 4);
        // A connection is stamped 3 ms after the resolution of the line before it.
        log += kind == 3 ? evidenceLine(start + i, start + i - 2, micros + 3000, payload)
                         : evidenceLine(start + i, start + i - 1, micros, payload);
        log += '\n';
    }
    return log;
}

} // namespace corvane::test
