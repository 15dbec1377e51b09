#pragma once

#include "gen/Rng.h"

#include <array>
#include <cstdint>
#include <string>

/// How the daemons print addresses, identifiers and times, and random values of those kinds;
/// shared by the free-running generator and the scripted scenarios.
namespace corvane::gen {

constexpr int64_t kMicros = 1000000;
constexpr int64_t kMinute = 60 * kMicros;

using Mac = std::array<uint8_t, 6>;
using Token = std::array<uint8_t, 3>;
using Uuid = std::array<uint8_t, 16>;

void putHex(std::string& s, uint8_t b, bool upper);
/// "5E:3A:…" (or lower case), the form most daemons print.
void putMac(std::string& s, const Mac& mac, bool upper = true);
/// "5e3a11223344", the bare form some Bluetooth lines use.
void putMac12(std::string& s, const Mac& mac);
/// "a1 b2 c3" between angle brackets, as tokens and tags are printed.
void putToken(std::string& s, const Token& token);
void putUuid(std::string& s, const Uuid& uuid, bool upper = true);
void putDecimal(std::string& s, int64_t value);
void putHexNumber(std::string& s, uint64_t value);

std::string macText(const Mac& mac);
/// The device tail of a UUID: its last 12 hex digits, upper case.
std::string tailText(const Uuid& uuid);

/// Locally administered unicast, as randomised Wi-Fi addresses are.
Mac randomMac(Rng& rng);
/// A resolvable private address: the top two bits are 01.
Mac randomBleMac(Rng& rng);
/// Account identifiers start with a letter, so the bare "IDS Abcdef123" form reads them too.
std::string randomAccount(Rng& rng);
std::string randomAid(Rng& rng);

template <size_t N> std::array<uint8_t, N> randomBytes(Rng& rng) {
    std::array<uint8_t, N> bytes;
    for (auto& b : bytes) {
        b = rng.byte();
    }
    return bytes;
}

/// Local "yyyy-MM-dd HH:mm:ss.ffffff±hhmm" of event times, remembering the last second.
class EventClock {
  public:
    void put(std::string& s, int64_t micros);

  private:
    int64_t second_ = INT64_MIN;
    std::array<char, 31> text_{};
};

} // namespace corvane::gen
