#pragma once

#include "util/Regex.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// Reading the values the analyser needs out of one evidence-log line: the capture stamp,
/// the event time, peer addresses, device tails, account identifiers, access levels, tags
/// and flag tokens.
namespace corvane::Sift {

/// The extraction patterns, compiled once per process on first use.
struct Patterns {
    util::Regex p1{R"((\d{4}-\d{2}-\d{2}) (\d{2}:\d{2}:\d{2}))"};
    util::Regex p2{R"(CUBonjourDevice ([0-9A-Fa-f]{2}(?::[0-9A-Fa-f]{2}){5}))"};
    util::Regex p3{
        R"(stID ([0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}))"};
    util::Regex p4{
        R"(([0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}), CUBonjourDevice)"};
    util::Regex p5{
        R"(IDS ([0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}))"};
    util::Regex p6{R"(IDS '([A-Za-z0-9]{1,24})')"};
    util::Regex p7{R"(AID '([^']+)')"};
    util::Regex p8{R"(AcLv\s*=?\s*(\S+)\s*\((\d+)\))"};
    util::Regex p9{R"((\d{4}-\d{2}-\d{2}) (\d{2}:\d{2}:\d{2})\.(\d{6}))"};
    util::Regex p10{R"(client CID (0x[0-9A-Fa-f]+))"};
    util::Regex p11{R"(nb(?:AT|Aa|IAT) <([0-9A-Fa-f ]+)>)"};
    util::Regex p12{R"(\bIDS ([A-Za-z][A-Za-z0-9]{4,23})\b)"};
    util::Regex p13{R"(BLE addr ([0-9A-Fa-f]{2}(?::[0-9A-Fa-f]{2}){5}))"};
    util::Regex p14{R"(selfAuthTag <([0-9A-Fa-f ]+)>)"};
    util::Regex p15{R"((?:SF|DF|nbIF|nbAF|DsFl) 0x[0-9A-Fa-f]+ < ([^>]*) >)"};
};

const Patterns& patterns();

/// Literal texts whose first occurrence a line scan records. Each is either a marker the
/// correlation rules test or a text every match of some pattern begins with (or, for
/// `CommaBonjour`, ends with), so a pattern search may start at its first occurrence.
enum class Anchor : unsigned {
    Bonjour,         // "CUBonjourDevice"
    CommaBonjour,    // ", CUBonjourDevice"
    DeviceAuthTag,   // "DeviceAuthTag"
    OwnerTag,        // "DeviceAuthTag: owner"
    DirectLinkType,  // "TT 0x10"
    Awdl,            // "< AWDL >"
    SameAccount,     // "SameAccountDevice"
    Screen7,         // "Screen (7)"
    NeedsKeyboard,   // "NeedsKeyboard"
    IdentityDaemon,  // "RPIdentityDaemon"
    Resolved,        // "Resolved DeviceAuthTag"
    CLinkD,          // "CLinkD"
    AcLv,            // "AcLv"
    AuthTag,         // "AuthTag"
    Evaluating,      // "Evaluating"
    FoundAwdl,       // "found AWDL"
    FoundDirectLink, // "found DirectLink"
    StId,            // "stID "
    Ids,             // "IDS "
    AidQuote,        // "AID '"
    ClientCid,       // "client CID 0x"
    NearbyTag,       // "nbAT <", "nbAa <" or "nbIAT <"
    BleAddr,         // "BLE addr "
    SelfTag,         // "selfAuthTag <"
    Flags,           // "SF 0x", "DF 0x", "nbIF 0x", "nbAF 0x" or "DsFl 0x"
    Count
};

/// One line, scanned once for every anchor. Holds well-formed UTF-8: a line with invalid
/// bytes is replaced by its repaired copy (each ill-formed sequence becomes U+FFFD), so
/// every later search may skip PCRE2's own UTF-8 check. Not copyable: `text()` may refer
/// to the scan's own copy.
class LineScan {
  public:
    explicit LineScan(std::string_view line);
    LineScan(const LineScan&) = delete;
    LineScan& operator=(const LineScan&) = delete;

    std::string_view text() const { return text_; }
    bool ascii() const { return asciiEnd_ == text_.size(); }
    /// Offset of the first byte that is not ASCII, or the length when there is none.
    size_t asciiEnd() const { return asciiEnd_; }

    bool has(Anchor a) const { return first_[index(a)] != std::string_view::npos; }
    /// Byte offset of the anchor's first occurrence, or npos.
    size_t firstAt(Anchor a) const { return first_[index(a)]; }

    /// Case-sensitive substring test for texts the scan does not record.
    bool contains(std::string_view literal) const;

    /// The leftmost match of `pattern`, searched from the first occurrence of `hint` (which
    /// every match of the pattern contains at its start); nothing when the hint is absent.
    std::optional<util::Match> search(const util::Regex& pattern, Anchor hint) const;

    /// Capture group `n` of that leftmost match.
    std::optional<std::string_view> group(const util::Regex& pattern, Anchor hint, int n) const;

  private:
    static size_t index(Anchor a) { return static_cast<size_t>(a); }
    void scan();
    void visitIfAnchor(size_t at);
    void visit(size_t at);
    void note(Anchor a, size_t at);

    std::string repaired_;
    std::string_view text_;
    size_t asciiEnd_ = 0;
    std::array<size_t, static_cast<size_t>(Anchor::Count)> first_;
};

/// The capture date and time: groups 1 and 2 of the leftmost match of P1.
struct Stamp {
    std::string_view date;
    std::string_view time;
    size_t end = 0; // offset just after the match
};

std::optional<Stamp> captureStamp(const LineScan& line);

/// The stamp as seconds since 1970 (local time), or 0 when it is not a real date and time.
double captureEpoch(const Stamp& stamp);

/// Group `n` of the first match of `pattern` in `line`, searched from its beginning. Only
/// the first match counts, even when it lacks the group.
std::optional<std::string_view> firstGroup(const util::Regex& pattern, std::string_view line,
                                           int n);

/// A MAC address held without a heap allocation: six hex pairs joined by ":".
struct MacText {
    std::array<char, 17> chars{};
    std::string_view view() const { return {chars.data(), chars.size()}; }
};

/// Group 1 of P2 in upper case.
std::optional<MacText> bonjourMac(const LineScan& line);

/// The last 12 hex digits, upper case, of the UUID of P3, else P4, else P5.
std::optional<std::string> deviceTail(const LineScan& line);

/// Group 1 of P6 (the quoted account form).
std::optional<std::string_view> quotedIds(const LineScan& line);

/// Group 1 of P7.
std::optional<std::string_view> lineAid(const LineScan& line);

/// The quoted account form, else the bare form of P12.
std::optional<std::string_view> accountId(const LineScan& line);

/// The event time of P9 as seconds since 1970 (local time), with its microseconds; nothing
/// when it is missing, does not exist as a local time, or is not after 1970.
std::optional<double> eventEpoch(const LineScan& line);

/// "yyyy-MM-dd HH:mm:ss.ffffff" in local time, the microseconds rounded to the nearest and
/// capped at 999999 (never carried into the seconds); "—" unless 0 < seconds < 1e12.
std::string formatEventTime(double seconds);

/// The access level of P8 as "Name (n)", or "—".
std::string accessLevel(const LineScan& line);

/// The blank-separated tokens of every P15 flag group, each once, in order of first
/// appearance.
std::vector<std::string> collectFlagTokens(const LineScan& line);

/// The first `count` characters (code points) of well-formed UTF-8 text.
std::string_view utf8Prefix(std::string_view text, size_t count);

/// Sets `out` to well-formed UTF-8 `text` with each control character but the tab replaced
/// by U+FFFD, cut, when longer than `maxBytes`, to its longest prefix of whole characters
/// within `maxBytes` followed by "…".
void assignCapped(std::string& out, std::string_view text, size_t maxBytes);

/// `text` as `assignCapped` stores it.
std::string capped(std::string_view text, size_t maxBytes);

} // namespace corvane::Sift
