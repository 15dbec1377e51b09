#include "gen/Format.h"

#include "util/LocalTime.h"

namespace corvane::gen {
namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";
constexpr char kLowerHex[] = "0123456789abcdef";

void putDigits(char* out, int64_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

int64_t readNumber(const char* text, int count) {
    int64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

} // namespace

void putHex(std::string& s, uint8_t b, bool upper) {
    const char* digits = upper ? kUpperHex : kLowerHex;
    s += digits[b >> 4];
    s += digits[b & 15];
}

void putMac(std::string& s, const Mac& mac, bool upper) {
    for (size_t i = 0; i < mac.size(); ++i) {
        if (i > 0) {
            s += ':';
        }
        putHex(s, mac[i], upper);
    }
}

void putMac12(std::string& s, const Mac& mac) {
    for (const uint8_t b : mac) {
        putHex(s, b, false);
    }
}

void putToken(std::string& s, const Token& token) {
    s += '<';
    for (size_t i = 0; i < token.size(); ++i) {
        if (i > 0) {
            s += ' ';
        }
        putHex(s, token[i], false);
    }
    s += '>';
}

void putUuid(std::string& s, const Uuid& uuid, bool upper) {
    for (size_t i = 0; i < uuid.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            s += '-';
        }
        putHex(s, uuid[i], upper);
    }
}

void putDecimal(std::string& s, int64_t value) {
    if (value < 0) {
        s += '-';
        value = -value;
    }
    char digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (n > 0) {
        s += digits[--n];
    }
}

void putHexNumber(std::string& s, uint64_t value) {
    s += "0x";
    char digits[16];
    int n = 0;
    do {
        digits[n++] = kLowerHex[value & 15];
        value >>= 4;
    } while (value > 0);
    while (n > 0) {
        s += digits[--n];
    }
}

std::string macText(const Mac& mac) {
    std::string s;
    putMac(s, mac);
    return s;
}

std::string tailText(const Uuid& uuid) {
    std::string s;
    for (size_t i = 10; i < uuid.size(); ++i) {
        putHex(s, uuid[i], true);
    }
    return s;
}

Mac randomMac(Rng& rng) {
    Mac mac;
    for (auto& b : mac) {
        b = rng.byte();
    }
    mac[0] = static_cast<uint8_t>((mac[0] | 0x02) & 0xFE);
    return mac;
}

Mac randomBleMac(Rng& rng) {
    Mac mac = randomMac(rng);
    mac[0] = static_cast<uint8_t>(0x40 | (mac[0] & 0x3F));
    return mac;
}

std::string randomAccount(Rng& rng) {
    static constexpr char letters[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz";
    static constexpr char alnum[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz23456789";
    std::string account(1, letters[rng.next() % (sizeof letters - 1)]);
    const auto length = rng.range(8, 12);
    while (static_cast<int64_t>(account.size()) < length) {
        account += alnum[rng.next() % (sizeof alnum - 1)];
    }
    return account;
}

std::string randomAid(Rng& rng) {
    std::string aid;
    for (int i = 0; i < 6; ++i) {
        putHex(aid, rng.byte(), true);
        if (i == 3) {
            aid += '-';
        }
    }
    return aid;
}

void EventClock::put(std::string& s, int64_t micros) {
    const int64_t second = floorDiv(micros, kMicros);
    if (second != second_) {
        second_ = second;
        util::formatLocalDateTime(second, text_.data());
        const int64_t wall = util::daysFromCivil(readNumber(&text_[0], 4),
                                                 static_cast<unsigned>(readNumber(&text_[5], 2)),
                                                 static_cast<unsigned>(readNumber(&text_[8], 2))) *
                                 86400 +
                             readNumber(&text_[11], 2) * 3600 + readNumber(&text_[14], 2) * 60 +
                             readNumber(&text_[17], 2);
        const int64_t offsetMinutes = (wall - second) / 60;
        const int64_t magnitude = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
        text_[26] = offsetMinutes < 0 ? '-' : '+';
        putDigits(&text_[27], magnitude / 60, 2);
        putDigits(&text_[29], magnitude % 60, 2);
        text_[19] = '.';
    }
    putDigits(&text_[20], micros - second * kMicros, 6);
    s.append(text_.data(), text_.size());
}

} // namespace corvane::gen
