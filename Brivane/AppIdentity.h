#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace brivane {

// The application information file Info.json: beside the executable in a build tree, else in
// share/pellora of the executable's own prefix, else in the configured data directory. Read once;
// an unreadable file counts as empty.
struct AppInformation {
    static const nlohmann::json& document();
    // Where the program's data files (Info.json, icons) are looked for, in order.
    static std::vector<std::filesystem::path> resourceDirectories();
    // The first existing file of that name in the resource directories; empty when none.
    static std::filesystem::path resource(const std::string& fileName);
};

// The display name and version of the application.
struct AppIdentity {
    // "CFBundleDisplayName", or "Pellora" when missing or not a string.
    static std::string name(const nlohmann::json& information = AppInformation::document());
    // "CFBundleShortVersionString", or "" when missing or not a string.
    static std::string version(const nlohmann::json& information = AppInformation::document());
};

} // namespace brivane
