#include "BrivaneCore/TimeZoneData.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <unicode/basictz.h>
#include <unicode/rbtz.h>
#include <unicode/timezone.h>
#include <unicode/tzrule.h>
#include <unordered_map>

namespace brivane::tz {

namespace {

std::uint32_t be32(std::string_view s, std::size_t at) {
    auto b = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + i]));
    };
    return (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
}

std::int64_t be64(std::string_view s, std::size_t at) {
    auto hi = static_cast<std::uint64_t>(be32(s, at));
    auto lo = static_cast<std::uint64_t>(be32(s, at + 4));
    return static_cast<std::int64_t>((hi << 32) | lo);
}

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

int yearOf(std::int64_t seconds) {
    std::int64_t z = (seconds >= 0 ? seconds : seconds - 86399) / 86400 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

bool isLeap(std::int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned daysInMonth(std::int64_t y, unsigned m) {
    static constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

// A small cursor over a POSIX TZ string.
class PosixReader {
public:
    explicit PosixReader(std::string_view s) : s_(s) {}
    bool atEnd() const { return pos_ >= s_.size(); }
    char peek() const { return atEnd() ? '\0' : s_[pos_]; }
    bool consume(char c) {
        if (peek() != c)
            return false;
        ++pos_;
        return true;
    }

    std::optional<std::string> name() {
        if (consume('<')) {
            const auto close = s_.find('>', pos_);
            if (close == std::string_view::npos)
                return std::nullopt;
            std::string n(s_.substr(pos_, close - pos_));
            pos_ = close + 1;
            return n.empty() ? std::nullopt : std::optional(n);
        }
        const auto start = pos_;
        while (!atEnd() && std::isalpha(static_cast<unsigned char>(peek())))
            ++pos_;
        if (pos_ - start < 3)
            return std::nullopt;
        return std::string(s_.substr(start, pos_ - start));
    }

    // [+-]hh[:mm[:ss]] in seconds; hours up to 167 for rule times.
    std::optional<int> duration(bool allowSign = true) {
        int sign = 1;
        if (allowSign) {
            if (consume('-'))
                sign = -1;
            else
                consume('+');
        }
        auto number = [&]() -> std::optional<int> {
            const auto start = pos_;
            int v = 0;
            while (!atEnd() && std::isdigit(static_cast<unsigned char>(peek())) && pos_ - start < 3)
                v = v * 10 + (s_[pos_++] - '0');
            if (pos_ == start)
                return std::nullopt;
            return v;
        };
        auto h = number();
        if (!h || *h > 167)
            return std::nullopt;
        int total = *h * 3600;
        if (consume(':')) {
            auto m = number();
            if (!m || *m > 59)
                return std::nullopt;
            total += *m * 60;
            if (consume(':')) {
                auto sec = number();
                if (!sec || *sec > 59)
                    return std::nullopt;
                total += *sec;
            }
        }
        return sign * total;
    }

    std::optional<int> integer(int maxDigits) {
        const auto start = pos_;
        int v = 0;
        while (!atEnd() && std::isdigit(static_cast<unsigned char>(peek())) &&
               static_cast<int>(pos_ - start) < maxDigits)
            v = v * 10 + (s_[pos_++] - '0');
        if (pos_ == start)
            return std::nullopt;
        return v;
    }

private:
    std::string_view s_;
    std::size_t pos_ = 0;
};

std::optional<RuleDate> readRuleDate(PosixReader& r) {
    RuleDate d;
    if (r.consume('J')) {
        auto n = r.integer(3);
        if (!n || *n < 1 || *n > 365)
            return std::nullopt;
        d.kind = RuleDate::Kind::julianNoLeap;
        d.day = *n;
    } else if (r.consume('M')) {
        auto m = r.integer(2);
        if (!m || *m < 1 || *m > 12 || !r.consume('.'))
            return std::nullopt;
        auto w = r.integer(1);
        if (!w || *w < 1 || *w > 5 || !r.consume('.'))
            return std::nullopt;
        auto wd = r.integer(1);
        if (!wd || *wd > 6)
            return std::nullopt;
        d.kind = RuleDate::Kind::monthWeekDay;
        d.month = *m;
        d.week = *w;
        d.weekday = *wd;
    } else {
        auto n = r.integer(3);
        if (!n || *n > 365)
            return std::nullopt;
        d.kind = RuleDate::Kind::zeroBased;
        d.day = *n;
    }
    if (r.consume('/')) {
        auto t = r.duration();
        if (!t)
            return std::nullopt;
        d.time = *t;
    }
    return d;
}

// Sorts, resolves transitions at the same instant (the one into daylight time wins, which is
// how permanent daylight time is written) and drops those that change nothing.
void normalise(ZoneRules& rules) {
    std::stable_sort(rules.transitions.begin(), rules.transitions.end(),
                     [](const Transition& a, const Transition& b) {
                         if (a.start != b.start)
                             return a.start < b.start;
                         return !a.isDst && b.isDst;
                     });
    std::vector<Transition> out;
    for (auto& t : rules.transitions) {
        if (!out.empty() && out.back().start == t.start)
            out.pop_back();
        const Transition& previous = out.empty() ? rules.initial : out.back();
        if (previous.utcOffset == t.utcOffset && previous.isDst == t.isDst)
            continue;
        out.push_back(std::move(t));
    }
    rules.transitions = std::move(out);
}

std::string readFile(const std::string& path, std::size_t limit) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::string data;
    data.resize(limit);
    in.read(data.data(), static_cast<std::streamsize>(limit));
    data.resize(static_cast<std::size_t>(in.gcount()));
    return data;
}

std::unique_ptr<icu::BasicTimeZone> makeICUZone(const std::string& id, const ZoneRules& rules) {
    UErrorCode status = U_ZERO_ERROR;
    auto ustr = [](const std::string& s) { return icu::UnicodeString::fromUTF8(s); };

    // ICU wants raw and daylight parts; daylight saving is measured from the last standard offset.
    int lastStandard =
        rules.initial.isDst ? rules.initial.utcOffset - 3600 : rules.initial.utcOffset;
    auto split = [&](const Transition& t) -> std::pair<int, int> {
        if (!t.isDst) {
            lastStandard = t.utcOffset;
            return {t.utcOffset, 0};
        }
        const int saving = t.utcOffset - lastStandard;
        if (saving <= 0)
            return {t.utcOffset, 0};
        return {lastStandard, saving};
    };

    const auto [initialRaw, initialDst] = split(rules.initial);
    auto zone = std::make_unique<icu::RuleBasedTimeZone>(
        ustr(id), new icu::InitialTimeZoneRule(ustr(rules.initial.abbreviation), initialRaw * 1000,
                                               initialDst * 1000));
    std::map<std::pair<int, int>, std::pair<std::string, std::vector<UDate>>> groups;
    for (const auto& t : rules.transitions) {
        auto key = split(t);
        auto& group = groups[key];
        if (group.first.empty())
            group.first = t.abbreviation.empty() ? "LMT" : t.abbreviation;
        group.second.push_back(static_cast<UDate>(t.start) * 1000.0);
    }
    for (const auto& [key, group] : groups) {
        zone->addTransitionRule(new icu::TimeArrayTimeZoneRule(
                                    ustr(group.first), key.first * 1000, key.second * 1000,
                                    group.second.data(), static_cast<int32_t>(group.second.size()),
                                    icu::DateTimeRule::UTC_TIME),
                                status);
    }
    if (rules.annual) {
        const AnnualRules& a = *rules.annual;
        auto dateRule = [](const RuleDate& d) {
            const int32_t millis = d.time * 1000;
            if (d.kind == RuleDate::Kind::monthWeekDay)
                return new icu::DateTimeRule(d.month - 1, d.week == 5 ? -1 : d.week, d.weekday + 1,
                                             millis, icu::DateTimeRule::WALL_TIME);
            // Jn never counts 29 February, so its month and day are those of a common year.
            int day = d.day, month = 1;
            while (day > static_cast<int>(daysInMonth(2001, static_cast<unsigned>(month)))) {
                day -= static_cast<int>(daysInMonth(2001, static_cast<unsigned>(month)));
                ++month;
            }
            return new icu::DateTimeRule(month - 1, day, millis, icu::DateTimeRule::WALL_TIME);
        };
        const int saving = a.daylight.utcOffset - a.standard.utcOffset;
        const int daylightRaw = saving > 0 ? a.standard.utcOffset : a.daylight.utcOffset;
        zone->addTransitionRule(
            new icu::AnnualTimeZoneRule(ustr(a.daylight.abbreviation), daylightRaw * 1000,
                                        saving > 0 ? saving * 1000 : 0, dateRule(a.toDaylight),
                                        a.fromYear, icu::AnnualTimeZoneRule::MAX_YEAR),
            status);
        zone->addTransitionRule(new icu::AnnualTimeZoneRule(ustr(a.standard.abbreviation),
                                                            a.standard.utcOffset * 1000, 0,
                                                            dateRule(a.toStandard), a.fromYear,
                                                            icu::AnnualTimeZoneRule::MAX_YEAR),
                                status);
    }
    zone->complete(status);
    if (U_FAILURE(status))
        return nullptr;
    return zone;
}

std::string zoneDirectory() {
    const char* dir = std::getenv("TZDIR");
    return dir && *dir ? dir : "/usr/share/zoneinfo";
}

bool isSafeZoneName(const std::string& id) {
    if (id.empty() || id.front() == '/' || id.size() > 255)
        return false;
    std::istringstream parts(id);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty() || part == "." || part == "..")
            return false;
    }
    return true;
}

} // namespace

std::int64_t RuleDate::localSeconds(std::int64_t year) const {
    std::int64_t days = 0;
    switch (kind) {
    case Kind::julianNoLeap: {
        int d = day; // 1…365, February 29 never counted
        unsigned m = 1;
        while (d > static_cast<int>(daysInMonth(2001, m))) {
            d -= static_cast<int>(daysInMonth(2001, m));
            ++m;
        }
        days = daysFromCivil(year, m, static_cast<unsigned>(d));
        break;
    }
    case Kind::zeroBased:
        days = daysFromCivil(year, 1, 1) + day;
        break;
    case Kind::monthWeekDay: {
        const std::int64_t first = daysFromCivil(year, static_cast<unsigned>(month), 1);
        const int firstWeekday =
            static_cast<int>(((first % 7) + 11) % 7); // 1970-01-01 was a Thursday
        int dom = 1 + (weekday - firstWeekday + 7) % 7 + (week - 1) * 7;
        while (dom > static_cast<int>(daysInMonth(year, static_cast<unsigned>(month))))
            dom -= 7;
        days = first + dom - 1;
        break;
    }
    }
    return days * 86400 + time;
}

std::optional<ZoneRules> parsePosixTZ(std::string_view tz, int fromYear, std::int64_t after) {
    // A zone file's last transition may lie at any 64-bit instant: the years written out stay
    // the few centuries a calendar shows, not billions of them.
    fromYear = std::clamp(fromYear, 1800, 2400);
    PosixReader r(tz);
    auto stdName = r.name();
    auto stdOffset = stdName ? r.duration() : std::nullopt;
    if (!stdName || !stdOffset)
        return std::nullopt;
    ZoneRules rules;
    rules.initial = {std::numeric_limits<std::int64_t>::min(), -*stdOffset, false, *stdName};
    if (r.atEnd())
        return rules;

    auto dstName = r.name();
    if (!dstName)
        return std::nullopt;
    int dstUtcOffset = -*stdOffset + 3600;
    if (r.peek() != ',' && !r.atEnd()) {
        auto o = r.duration();
        if (!o)
            return std::nullopt;
        dstUtcOffset = -*o;
    }
    RuleDate start, end;
    if (r.atEnd()) {
        // No rule given: the long-standing US default.
        start = {RuleDate::Kind::monthWeekDay, 0, 3, 2, 0, 7200};
        end = {RuleDate::Kind::monthWeekDay, 0, 11, 1, 0, 7200};
    } else {
        if (!r.consume(','))
            return std::nullopt;
        auto s = readRuleDate(r);
        if (!s || !r.consume(','))
            return std::nullopt;
        auto e = readRuleDate(r);
        if (!e || !r.atEnd())
            return std::nullopt;
        start = *s;
        end = *e;
    }
    const int standard = -*stdOffset;
    // Two years written out cover the rest of the file's last year; a yearly rule follows.
    const bool yearly =
        start.kind != RuleDate::Kind::zeroBased && end.kind != RuleDate::Kind::zeroBased;
    const int untilYear = yearly ? fromYear + 1 : 2100;
    if (yearly) {
        rules.annual = AnnualRules{untilYear + 1,
                                   {0, standard, false, *stdName},
                                   {0, dstUtcOffset, true, *dstName},
                                   start,
                                   end};
    }
    // What is in force before the first kept change is the year before's last change: south of
    // the equator that is daylight time, and the first change of a year leaves it.
    std::vector<Transition> all;
    for (int year = fromYear - 1; year <= untilYear; ++year) {
        all.push_back({start.localSeconds(year) - standard, dstUtcOffset, true, *dstName});
        all.push_back({end.localSeconds(year) - dstUtcOffset, standard, false, *stdName});
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const Transition& a, const Transition& b) { return a.start < b.start; });
    const std::int64_t boundary = std::max(after, daysFromCivil(fromYear, 1, 1) * 86400 - standard);
    for (auto& t : all) {
        if (t.start <= boundary) {
            rules.initial = {std::numeric_limits<std::int64_t>::min(), t.utcOffset, t.isDst,
                             t.abbreviation};
        } else {
            rules.transitions.push_back(std::move(t));
        }
    }
    normalise(rules);
    return rules;
}

std::optional<ZoneRules> parseTZif(std::string_view data) {
    constexpr std::size_t headerSize = 44;
    auto readHeader = [&](std::size_t at, std::array<std::uint32_t, 6>& counts) {
        if (data.size() < at + headerSize || data.substr(at, 4) != "TZif")
            return false;
        for (std::size_t i = 0; i < 6; ++i)
            counts[i] = be32(data, at + 20 + i * 4);
        return true;
    };
    std::array<std::uint32_t, 6> c{};
    if (!readHeader(0, c))
        return std::nullopt;
    const char version = data[4];
    auto blockSize = [](const std::array<std::uint32_t, 6>& n, std::size_t timeSize) {
        // isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt
        return std::size_t{n[3]} * timeSize + n[3] + std::size_t{n[4]} * 6 + n[5] +
               std::size_t{n[2]} * (timeSize + 4) + n[1] + n[0];
    };
    std::size_t at = headerSize;
    std::size_t timeSize = 4;
    if (version >= '2') {
        at += blockSize(c, 4);
        if (!readHeader(at, c))
            return std::nullopt;
        at += headerSize;
        timeSize = 8;
    }
    const std::uint32_t timecnt = c[3], typecnt = c[4], charcnt = c[5];
    if (typecnt == 0 || typecnt > 256 || data.size() < at + blockSize(c, timeSize))
        return std::nullopt;

    const std::size_t timesAt = at;
    const std::size_t indexAt = timesAt + std::size_t{timecnt} * timeSize;
    const std::size_t typesAt = indexAt + timecnt;
    const std::size_t charsAt = typesAt + std::size_t{typecnt} * 6;
    auto type = [&](std::uint32_t i) {
        const std::size_t p = typesAt + std::size_t{i} * 6;
        const auto offset = static_cast<std::int32_t>(be32(data, p));
        const bool dst = data[p + 4] != 0;
        const auto abbrAt = static_cast<unsigned char>(data[p + 5]);
        std::string abbr;
        if (abbrAt < charcnt) {
            auto chars = data.substr(charsAt + abbrAt, charcnt - abbrAt);
            abbr = std::string(chars.substr(0, chars.find('\0')));
        }
        return Transition{0, offset, dst, abbr};
    };

    ZoneRules rules;
    rules.initial = type(0);
    rules.initial.start = std::numeric_limits<std::int64_t>::min();
    for (std::uint32_t i = 0; i < timecnt; ++i) {
        const std::int64_t when =
            timeSize == 8 ? be64(data, timesAt + std::size_t{i} * 8)
                          : static_cast<std::int32_t>(be32(data, timesAt + std::size_t{i} * 4));
        const auto idx = static_cast<unsigned char>(data[indexAt + i]);
        if (idx >= typecnt)
            return std::nullopt;
        auto t = type(idx);
        t.start = when;
        rules.transitions.push_back(std::move(t));
    }

    // The footer carries the rule for every instant after the last transition.
    if (timeSize == 8) {
        const std::size_t footerAt = at + blockSize(c, 8);
        if (footerAt < data.size() && data[footerAt] == '\n') {
            const auto close = data.find('\n', footerAt + 1);
            if (close != std::string_view::npos && close > footerAt + 1) {
                const auto footer = data.substr(footerAt + 1, close - footerAt - 1);
                const std::int64_t last = rules.transitions.empty()
                                              ? std::numeric_limits<std::int64_t>::min()
                                              : rules.transitions.back().start;
                const int fromYear = rules.transitions.empty() ? 1970 : yearOf(last);
                if (auto extra = parsePosixTZ(footer, fromYear, last)) {
                    if (rules.transitions.empty() && extra->transitions.empty())
                        rules.initial = extra->initial;
                    else if (extra->transitions.empty()) {
                        auto t = extra->initial;
                        t.start = last + 1;
                        rules.transitions.push_back(t);
                    }
                    for (auto& t : extra->transitions)
                        rules.transitions.push_back(std::move(t));
                    rules.annual = extra->annual;
                }
            }
        }
    }
    normalise(rules);
    return rules;
}

std::shared_ptr<const icu::BasicTimeZone> systemZone(const std::string& id) {
    static std::mutex mutex;
    static std::unordered_map<std::string, std::shared_ptr<const icu::BasicTimeZone>> cache;
    {
        std::lock_guard lock(mutex);
        if (auto it = cache.find(id); it != cache.end())
            return it->second;
    }

    std::unique_ptr<icu::BasicTimeZone> zone;
    std::string path;
    if (!id.empty() && id.front() == '/')
        path = id;
    else if (isSafeZoneName(id))
        path = zoneDirectory() + "/" + id;
    if (!path.empty()) {
        const std::string bytes = readFile(path, 1 << 20);
        if (auto rules = parseTZif(bytes))
            zone = makeICUZone(id, *rules);
    }
    if (!zone) {
        if (auto rules = parsePosixTZ(id, 1970, std::numeric_limits<std::int64_t>::min()))
            zone = makeICUZone(id, *rules);
    }
    if (!zone)
        return nullptr;

    std::shared_ptr<const icu::BasicTimeZone> shared(std::move(zone));
    std::lock_guard lock(mutex);
    // Zones are small and few; a bound keeps a long run with odd TZ values in check.
    if (cache.size() > 64)
        cache.clear();
    cache.emplace(id, shared);
    return shared;
}

} // namespace brivane::tz
