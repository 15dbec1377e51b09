// Feeds arbitrary bytes to the per-line analyser: as one line, and split at line feeds as
// a short log, so the correlation between lines is exercised too. Beyond "no crash", it
// checks that every anchored search finds what a search from the line's start finds, that
// the state stays within its caps, and that it survives its own JSON form unchanged (which
// fails if any invalid UTF-8 reached it).
#include "sift/Extract.h"
#include "sift/Sift.h"
#include "sift/State.h"
#include "util/LocalTime.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace corvane::Sift;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "ingestLine fuzz check failed: %s\n", what);
        std::abort();
    }
}

bool sameMatch(const std::optional<corvane::util::Match>& a,
               const std::optional<corvane::util::Match>& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    if (!a) {
        return true;
    }
    for (int g = 0; g <= corvane::util::Match::kMaxGroups; ++g) {
        if (a->group(g) != b->group(g)) {
            return false;
        }
    }
    return a->begin() == b->begin();
}

void checkExtraction(std::string_view bytes) {
    const LineScan scan(bytes);
    const Patterns& p = patterns();
    const std::pair<const corvane::util::Regex*, Anchor> anchored[] = {
        {&p.p2, Anchor::Bonjour}, {&p.p3, Anchor::StId},       {&p.p4, Anchor::CommaBonjour},
        {&p.p5, Anchor::Ids},     {&p.p6, Anchor::Ids},        {&p.p7, Anchor::AidQuote},
        {&p.p8, Anchor::AcLv},    {&p.p10, Anchor::ClientCid}, {&p.p11, Anchor::NearbyTag},
        {&p.p12, Anchor::Ids},    {&p.p13, Anchor::BleAddr},   {&p.p14, Anchor::SelfTag},
        {&p.p15, Anchor::Flags}};
    for (const auto& [pattern, anchor] : anchored) {
        check(sameMatch(scan.search(*pattern, anchor), pattern->search(scan.text())),
              "anchored search differs from a search from the start");
    }

    const auto stamp = captureStamp(scan);
    const auto p1 = p.p1.search(scan.text());
    check(stamp.has_value() == p1.has_value(), "capture stamp presence");
    if (stamp) {
        check(stamp->date == p1->group(1) && stamp->time == p1->group(2) && stamp->end == p1->end(),
              "capture stamp differs from P1");
    }

    // The event time as the pattern alone reads it.
    std::optional<double> expected;
    if (const auto p9 = p.p9.search(scan.text())) {
        const std::string dateTime = std::string(*p9->group(1)) + " " + std::string(*p9->group(2));
        const auto seconds = corvane::util::parseLocalDateTime(dateTime);
        const std::string_view micros = *p9->group(3);
        const bool digits = micros.find_first_not_of("0123456789") == std::string_view::npos;
        if (seconds && *seconds > 0 && digits) {
            expected = static_cast<double>(*seconds) + std::stod(std::string(micros)) / 1000000.0;
        }
    }
    const auto event = eventEpoch(scan);
    check(event == expected, "event time differs from P9");
    if (event) {
        const std::string text = formatEventTime(*event);
        check(text.size() == 26 || text == "—", "event time text shape");
    }
}

void checkState(const State& s) {
    check(s.recentRes.size() <= kMaxRecentRes && s.pairs.size() <= kMaxPairs &&
              s.kbd.size() <= kMaxKbd && s.ble.size() <= kMaxBle && s.view.size() <= kMaxView,
          "a list beyond its cap");
    check(s.pairsScreen <= s.pairsTotal, "pairsScreen above pairsTotal");
    check(s.head.empty() && s.offset == 0, "ingestLine touched head or offset");
    const auto back = fromJson(nlohmann::json::parse(toJson(s).dump()));
    check(back && *back == s, "state does not survive its JSON form");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    checkExtraction(bytes);

    State whole;
    ingestLine(bytes, whole);
    checkState(whole);

    State split;
    size_t start = 0;
    while (start <= bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) {
            end = bytes.size();
        }
        const std::string_view piece = bytes.substr(start, end - start);
        if (!piece.empty()) {
            ingestLine(piece, split);
            if (end != bytes.size()) {
                checkExtraction(piece);
            }
        }
        start = end + 1;
    }
    checkState(split);
    return 0;
}
