#include "sift/Extract.h"

#include "util/LocalTime.h"
#include "util/Utf8.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace corvane::Sift {
namespace {

constexpr size_t npos = std::string_view::npos;

// Every anchor text has, at a fixed offset, one of these two-byte openings (an upper-case
// letter and the byte after it). The scan looks closer only where one stands; the hex
// digits that fill a line (MACs, UUIDs) rarely form one.
constexpr std::string_view kOpenings[] = {"Ac", "Au", "AI", "AW", "AT", "Aa", "AF", "BL", "CU",
                                          "CL", "CI", "De", "Di", "DF", "Ds", "Ev", "ID", "IA",
                                          "IF", "Ne", "RP", "Re", "Sa", "Sc", "SF", "TT"};

constexpr unsigned pairIndex(unsigned char first, unsigned char second) {
    return static_cast<unsigned>(first) << 8 | second;
}

constexpr std::array<uint64_t, 1024> kOpeningBits = [] {
    std::array<uint64_t, 1024> bits{};
    for (const std::string_view o : kOpenings) {
        const unsigned k =
            pairIndex(static_cast<unsigned char>(o[0]), static_cast<unsigned char>(o[1]));
        bits[k / 64] |= uint64_t{1} << (k % 64);
    }
    return bits;
}();

bool opensAnchor(unsigned char first, unsigned char second) {
    const unsigned k = pairIndex(first, second);
    return (kOpeningBits[k / 64] >> (k % 64)) & 1;
}

// Literal lengths are compile-time constants, so the compiler compares them inline.
template <size_t N> bool textAt(std::string_view s, size_t i, const char (&literal)[N]) {
    constexpr size_t n = N - 1;
    return s.size() - i >= n && std::memcmp(s.data() + i, literal, n) == 0;
}

template <size_t N> bool textBefore(std::string_view s, size_t i, const char (&literal)[N]) {
    constexpr size_t n = N - 1;
    return i >= n && std::memcmp(s.data() + i - n, literal, n) == 0;
}

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

/// Whether "dddd-dd-dd dd:dd:dd" (and ".dddddd" when `fraction`) stands at `at`, in ASCII.
bool dateTimeAt(std::string_view s, size_t at, bool fraction) {
    static constexpr std::string_view kShape = "dddd-dd-dd dd:dd:dd.dddddd";
    const size_t length = fraction ? kShape.size() : 19;
    if (s.size() - at < length) {
        return false;
    }
    for (size_t k = 0; k < length; ++k) {
        const char c = s[at + k];
        if (kShape[k] == 'd' ? !isAsciiDigit(c) : c != kShape[k]) {
            return false;
        }
    }
    return true;
}

/// Offset of the leftmost event time in the ASCII text before `limit`, where a hand check
/// of the fixed shape gives exactly the regular expression's answer; npos when there is none.
size_t findEventTime(std::string_view s, size_t limit) {
    for (size_t at = 0; at + 26 <= limit; ++at) {
        if (isAsciiDigit(s[at]) && dateTimeAt(s, at, true)) {
            return at;
        }
    }
    return npos;
}

/// The local date-time written as `date` + " " + `time`, both views into one text where a
/// single blank separates them.
std::optional<int64_t> parseAdjacent(std::string_view date, std::string_view time) {
    return util::parseLocalDateTime(std::string_view(
        date.data(), static_cast<size_t>(time.data() + time.size() - date.data())));
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

const Patterns& patterns() {
    static const Patterns compiled;
    return compiled;
}

LineScan::LineScan(std::string_view line) : text_(line) {
    scan();
    if (!ascii() && !util::isValidUtf8(line)) {
        repaired_ = util::replaceInvalidUtf8(line);
        text_ = repaired_;
        scan();
    }
}

void LineScan::note(Anchor a, size_t at) {
    size_t& slot = first_[index(a)];
    slot = std::min(slot, at);
}

void LineScan::visit(size_t i) {
    const std::string_view s = text_;
    switch (s[i]) {
    case 'A':
        if (textAt(s, i, "AcLv")) {
            note(Anchor::AcLv, i);
        } else if (textAt(s, i, "AuthTag")) {
            note(Anchor::AuthTag, i);
            if (textBefore(s, i, "self") && textAt(s, i, "AuthTag <")) {
                note(Anchor::SelfTag, i - 4);
            }
        } else if (textAt(s, i, "AID '")) {
            note(Anchor::AidQuote, i);
        } else if (textAt(s, i, "AWDL")) {
            if (textBefore(s, i, "< ") && textAt(s, i, "AWDL >")) {
                note(Anchor::Awdl, i - 2);
            }
            if (textBefore(s, i, "found ")) {
                note(Anchor::FoundAwdl, i - 6);
            }
        } else if (textBefore(s, i, "nb")) {
            if (textAt(s, i, "AT <") || textAt(s, i, "Aa <")) {
                note(Anchor::NearbyTag, i - 2);
            } else if (textAt(s, i, "AF 0x")) {
                note(Anchor::Flags, i - 2);
            }
        }
        break;
    case 'B':
        if (textAt(s, i, "BLE addr ")) {
            note(Anchor::BleAddr, i);
        }
        break;
    case 'C':
        if (textAt(s, i, "CUBonjourDevice")) {
            note(Anchor::Bonjour, i);
            if (textBefore(s, i, ", ")) {
                note(Anchor::CommaBonjour, i - 2);
            }
        } else if (textAt(s, i, "CLinkD")) {
            note(Anchor::CLinkD, i);
        } else if (textAt(s, i, "CID 0x") && textBefore(s, i, "client ")) {
            note(Anchor::ClientCid, i - 7);
        }
        break;
    case 'D':
        if (textAt(s, i, "DeviceAuthTag")) {
            note(Anchor::DeviceAuthTag, i);
            if (textAt(s, i, "DeviceAuthTag: owner")) {
                note(Anchor::OwnerTag, i);
            }
        } else if (textAt(s, i, "DirectLink")) {
            if (textBefore(s, i, "found ")) {
                note(Anchor::FoundDirectLink, i - 6);
            }
        } else if (textAt(s, i, "DF 0x") || textAt(s, i, "DsFl 0x")) {
            note(Anchor::Flags, i);
        }
        break;
    case 'E':
        if (textAt(s, i, "Evaluating")) {
            note(Anchor::Evaluating, i);
        }
        break;
    case 'I':
        if (textAt(s, i, "IDS ")) {
            note(Anchor::Ids, i);
        } else if (textAt(s, i, "ID ") && textBefore(s, i, "st")) {
            note(Anchor::StId, i - 2);
        } else if (textBefore(s, i, "nb")) {
            if (textAt(s, i, "IAT <")) {
                note(Anchor::NearbyTag, i - 2);
            } else if (textAt(s, i, "IF 0x")) {
                note(Anchor::Flags, i - 2);
            }
        }
        break;
    case 'N':
        if (textAt(s, i, "NeedsKeyboard")) {
            note(Anchor::NeedsKeyboard, i);
        }
        break;
    case 'R':
        if (textAt(s, i, "RPIdentityDaemon")) {
            note(Anchor::IdentityDaemon, i);
        } else if (textAt(s, i, "Resolved DeviceAuthTag")) {
            note(Anchor::Resolved, i);
        }
        break;
    case 'S':
        if (textAt(s, i, "SameAccountDevice")) {
            note(Anchor::SameAccount, i);
        } else if (textAt(s, i, "Screen (7)")) {
            note(Anchor::Screen7, i);
        } else if (textAt(s, i, "SF 0x")) {
            note(Anchor::Flags, i);
        }
        break;
    case 'T':
        if (textAt(s, i, "TT 0x10")) {
            note(Anchor::DirectLinkType, i);
        }
        break;
    default:
        break;
    }
}

inline void LineScan::visitIfAnchor(size_t at) {
    if (at + 1 < text_.size() && opensAnchor(static_cast<unsigned char>(text_[at]),
                                             static_cast<unsigned char>(text_[at + 1]))) {
        visit(at);
    }
}

void LineScan::scan() {
    first_.fill(npos);
    const std::string_view s = text_;
    const size_t size = s.size();
    // Eight bytes at a time: only a word holding a byte from 'A' to 'T' (where every anchor
    // opens) is looked at byte by byte. Lower-case text, digits and blanks pass untouched.
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    constexpr uint64_t kHigh = 0x8080808080808080ULL;
    uint64_t seen = 0;
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, s.data() + i, 8);
        seen |= word;
        const uint64_t low = word & kLow7;
        const uint64_t atLeastA = low + 0x3F3F3F3F3F3F3F3FULL; // high bit: byte >= 'A'
        const uint64_t pastT = low + 0x2B2B2B2B2B2B2B2BULL;    // high bit: byte > 'T'
        uint64_t candidates = atLeastA & ~pastT & ~word & kHigh;
        if constexpr (std::endian::native == std::endian::little) {
            while (candidates != 0) {
                visitIfAnchor(i + static_cast<size_t>(std::countr_zero(candidates)) / 8);
                candidates &= candidates - 1;
            }
        } else if (candidates != 0) {
            for (size_t k = i; k < i + 8; ++k) {
                visitIfAnchor(k);
            }
        }
    }
    for (; i < size; ++i) {
        seen |= static_cast<unsigned char>(s[i]);
        visitIfAnchor(i);
    }
    asciiEnd_ = s.size();
    if (seen & kHigh) {
        asciiEnd_ = static_cast<size_t>(
            std::find_if(s.begin(), s.end(),
                         [](char c) { return static_cast<unsigned char>(c) >= 0x80; }) -
            s.begin());
    }
}

bool LineScan::contains(std::string_view literal) const {
    return text_.find(literal) != npos;
}

std::optional<util::Match> LineScan::search(const util::Regex& pattern, Anchor hint) const {
    size_t start = firstAt(hint);
    if (start == npos) {
        return std::nullopt;
    }
    if (hint == Anchor::CommaBonjour) {
        // The anchor ends these matches: they begin with a 36-character UUID before it.
        start = start >= 36 ? start - 36 : 0;
        while (start > 0 && (static_cast<unsigned char>(text_[start]) & 0xC0) == 0x80) {
            --start; // never start inside a character
        }
    }
    return pattern.search(text_, start, /*subjectIsValidUtf8=*/true);
}

std::optional<std::string_view> LineScan::group(const util::Regex& pattern, Anchor hint,
                                                int n) const {
    const auto m = search(pattern, hint);
    return m ? m->group(n) : std::nullopt;
}

std::optional<Stamp> captureStamp(const LineScan& line) {
    const std::string_view s = line.text();
    // A stamp at the very start is the leftmost match whatever follows it.
    if (dateTimeAt(s, 0, false)) {
        return Stamp{s.substr(0, 10), s.substr(11, 8), 19};
    }
    const auto m = patterns().p1.search(s, 0, true);
    if (!m) {
        return std::nullopt;
    }
    return Stamp{*m->group(1), *m->group(2), m->end()};
}

double captureEpoch(const Stamp& stamp) {
    const auto seconds = parseAdjacent(stamp.date, stamp.time);
    return seconds ? static_cast<double>(*seconds) : 0.0;
}

std::optional<std::string_view> firstGroup(const util::Regex& pattern, std::string_view line,
                                           int n) {
    const auto m = pattern.search(line);
    return m ? m->group(n) : std::nullopt;
}

std::optional<MacText> bonjourMac(const LineScan& line) {
    const auto g = line.group(patterns().p2, Anchor::Bonjour, 1);
    if (!g || g->size() != 17) {
        return std::nullopt;
    }
    MacText mac;
    std::transform(g->begin(), g->end(), mac.chars.begin(), upper);
    return mac;
}

std::optional<std::string> deviceTail(const LineScan& line) {
    const Patterns& p = patterns();
    auto uuid = line.group(p.p3, Anchor::StId, 1);
    if (!uuid) {
        uuid = line.group(p.p4, Anchor::CommaBonjour, 1);
    }
    if (!uuid) {
        uuid = line.group(p.p5, Anchor::Ids, 1);
    }
    if (!uuid) {
        return std::nullopt;
    }
    // The pattern makes it 36 ASCII characters; only the last 12 digits are kept.
    std::array<char, 36> digits{};
    size_t count = 0;
    for (const char c : *uuid) {
        if (c != '-' && count < digits.size()) {
            digits[count++] = upper(c);
        }
    }
    if (count < 12) {
        return std::nullopt;
    }
    return std::string(digits.data() + count - 12, 12);
}

std::optional<std::string_view> quotedIds(const LineScan& line) {
    return line.group(patterns().p6, Anchor::Ids, 1);
}

std::optional<std::string_view> lineAid(const LineScan& line) {
    return line.group(patterns().p7, Anchor::AidQuote, 1);
}

std::optional<std::string_view> accountId(const LineScan& line) {
    if (auto quoted = quotedIds(line)) {
        return quoted;
    }
    return line.group(patterns().p12, Anchor::Ids, 1);
}

std::optional<double> eventEpoch(const LineScan& line) {
    const std::string_view s = line.text();
    std::string_view date, time, micros;
    // Up to the first non-ASCII byte the fixed shape decides alone; \d also takes other
    // scripts' digits, so past it only the pattern can say where the leftmost match is.
    const size_t at = findEventTime(s, line.asciiEnd());
    if (at != npos) {
        date = s.substr(at, 10);
        time = s.substr(at + 11, 8);
        micros = s.substr(at + 20, 6);
    } else if (line.ascii()) {
        return std::nullopt;
    } else {
        const auto m = patterns().p9.search(s, 0, true);
        if (!m || !m->group(3)) {
            return std::nullopt;
        }
        date = *m->group(1);
        time = *m->group(2);
        micros = *m->group(3);
    }
    const auto seconds = parseAdjacent(date, time);
    if (!seconds || *seconds <= 0) {
        return std::nullopt;
    }
    int64_t m = 0;
    for (const char c : micros) {
        if (!isAsciiDigit(c)) {
            return std::nullopt;
        }
        m = m * 10 + (c - '0');
    }
    return static_cast<double>(*seconds) + static_cast<double>(m) / 1000000.0;
}

std::string formatEventTime(double seconds) {
    if (!(seconds > 0 && seconds < 1e12)) {
        return "—";
    }
    const double whole = std::floor(seconds);
    // Rounding recovers the six digits the log wrote: an epoch near 1.8e9 holds them only to
    // within about a tenth of a microsecond. The cap keeps .9999999 in its own second.
    const auto micros = std::min<int64_t>(std::llround((seconds - whole) * 1e6), 999999);
    char fraction[24];
    std::snprintf(fraction, sizeof fraction, ".%06lld", static_cast<long long>(micros));
    return util::formatLocalDateTime(static_cast<int64_t>(whole)) + fraction;
}

std::string accessLevel(const LineScan& line) {
    const auto m = line.search(patterns().p8, Anchor::AcLv);
    if (!m || !m->group(1)) {
        return "—";
    }
    std::string out(*m->group(1));
    out += " (";
    out += m->group(2).value_or("?");
    out += ')';
    return out;
}

std::vector<std::string> collectFlagTokens(const LineScan& line) {
    std::vector<std::string> tokens;
    size_t at = line.firstAt(Anchor::Flags);
    const std::string_view s = line.text();
    const util::Regex& p15 = patterns().p15;
    while (at != npos && at < s.size()) {
        const auto m = p15.search(s, at, true);
        if (!m) {
            break;
        }
        const std::string_view group = m->group(1).value_or("");
        size_t pos = 0;
        while (pos < group.size()) {
            size_t blank = group.find(' ', pos);
            if (blank == npos) {
                blank = group.size();
            }
            const std::string_view token = group.substr(pos, blank - pos);
            if (!token.empty() && std::find(tokens.begin(), tokens.end(), token) == tokens.end()) {
                tokens.emplace_back(token);
            }
            pos = blank + 1;
        }
        at = m->end(); // a match is never empty
    }
    return tokens;
}

std::string_view utf8Prefix(std::string_view text, size_t count) {
    size_t i = 0;
    for (size_t taken = 0; taken < count && i < text.size(); ++taken) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
            ++i;
        }
    }
    return text.substr(0, i);
}

void assignCapped(std::string& out, std::string_view text, size_t maxBytes) {
    // A control character would take six bytes once escaped in the state file.
    const auto control = [](char c) { return (c >= 0 && c < 0x20 && c != '\t') || c == 0x7F; };
    out.clear();
    size_t i = 0;
    // One byte past the cap tells whether the cut falls inside a character.
    while (i < text.size() && out.size() <= maxBytes) {
        const size_t limit = std::min(text.size(), i + (maxBytes + 1 - out.size()));
        size_t j = i;
        while (j < limit && !control(text[j])) {
            ++j;
        }
        out.append(text.substr(i, j - i));
        if (j < limit) {
            out += "\uFFFD";
            ++j;
        }
        i = j;
    }
    if (out.size() <= maxBytes) {
        return;
    }
    size_t cut = maxBytes; // on a character boundary
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    out.resize(cut);
    out += "…";
}

std::string capped(std::string_view text, size_t maxBytes) {
    std::string out;
    assignCapped(out, text, maxBytes);
    return out;
}

} // namespace corvane::Sift
