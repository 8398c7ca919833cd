#include "BrivaneCore/PelloraRelease.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

namespace brivane {

namespace {

using nlohmann::json;

[[noreturn]] void invalid(const std::string& what) {
    throw ReleaseDecodingError(what);
}

// Pieces between dots, empty ones dropped; absent when a piece is not a decimal number.
std::optional<std::vector<long long>> versionNumbers(std::string_view version) {
    std::vector<long long> numbers;
    while (true) {
        const auto dot = version.find('.');
        const auto piece = version.substr(0, dot);
        if (!piece.empty()) {
            long long n = 0;
            const auto* first = piece.data();
            if (piece.front() == '+')
                ++first; // Int("+3") parses; keep that leniency
            const auto [end, error] = std::from_chars(first, piece.data() + piece.size(), n);
            if (error != std::errc() || end != piece.data() + piece.size() || first == end)
                return std::nullopt;
            numbers.push_back(n);
        }
        if (dot == std::string_view::npos)
            break;
        version.remove_prefix(dot + 1);
    }
    return numbers;
}

const json* member(const json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
}

} // namespace

PelloraRelease PelloraRelease::fromJson(const json& document) {
    if (!document.is_object())
        invalid("the release document is not a JSON object");
    PelloraRelease release;
    const json* version = member(document, "version");
    if (!version || !version->is_string())
        invalid("\"version\" must be a string");
    release.version = version->get<std::string>();

    const json* build = member(document, "build");
    if (!build || !build->is_number())
        invalid("\"build\" must be an integer");
    using Limits = std::numeric_limits<std::int64_t>;
    if (build->is_number_float()) {
        // 2^63 is exactly representable; anything from there on does not fit.
        const double b = build->get<double>();
        if (std::trunc(b) != b || b < static_cast<double>(Limits::min()) ||
            b >= -static_cast<double>(Limits::min()))
            invalid("\"build\" must be an integer");
        release.build = static_cast<std::int64_t>(b);
    } else if (build->is_number_unsigned()) {
        const auto b = build->get<std::uint64_t>();
        if (b > static_cast<std::uint64_t>(Limits::max()))
            invalid("\"build\" is out of range");
        release.build = static_cast<std::int64_t>(b);
    } else {
        release.build = build->get<std::int64_t>();
    }

    if (const json* url = member(document, "download_url")) {
        if (!url->is_string() || url->get<std::string>().empty())
            invalid("\"download_url\" must be a URL");
        release.downloadURL = url->get<std::string>();
    }
    if (const json* notes = member(document, "release_notes")) {
        if (!notes->is_string())
            invalid("\"release_notes\" must be a string");
        release.releaseNotes = notes->get<std::string>();
    }
    return release;
}

PelloraRelease PelloraRelease::fromJsonText(std::string_view text) {
    json document = json::parse(text.begin(), text.end(), nullptr, false);
    if (document.is_discarded())
        invalid("the release document is not valid JSON");
    return fromJson(document);
}

json PelloraRelease::toJson() const {
    json document{{"version", version}, {"build", build}};
    if (downloadURL)
        document["download_url"] = *downloadURL;
    if (releaseNotes)
        document["release_notes"] = *releaseNotes;
    return document;
}

bool PelloraRelease::hasValidVersion() const {
    const auto numbers = versionNumbers(version);
    return numbers && !numbers->empty();
}

bool PelloraRelease::isNewer(std::string_view runningVersion, std::int64_t runningBuild) const {
    const auto mine = versionNumbers(version);
    const auto theirs = versionNumbers(runningVersion);
    if (!mine || !theirs || mine->empty() || theirs->empty())
        return false;
    const std::size_t n = std::max(mine->size(), theirs->size());
    for (std::size_t i = 0; i < n; ++i) {
        const long long a = i < mine->size() ? (*mine)[i] : 0;
        const long long b = i < theirs->size() ? (*theirs)[i] : 0;
        if (a != b)
            return a > b;
    }
    return runningBuild < build;
}

} // namespace brivane
