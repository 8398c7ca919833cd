#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace brivane {

class ReleaseDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The release feed document.
struct PelloraRelease {
    std::string version;
    // 64 bits: date-stamped build numbers such as 20260315001 are common.
    std::int64_t build = 0;
    std::optional<std::string> downloadURL;
    std::optional<std::string> releaseNotes;

    bool operator==(const PelloraRelease&) const = default;

    static PelloraRelease fromJson(const nlohmann::json& json);
    static PelloraRelease fromJsonText(std::string_view text);
    nlohmann::json toJson() const;

    bool hasValidVersion() const;
    bool isNewer(std::string_view runningVersion, std::int64_t runningBuild) const;
};

} // namespace brivane
