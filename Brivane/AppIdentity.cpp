#include "Brivane/AppIdentity.h"

#include <fstream>
#include <system_error>

#ifndef PELLORA_INSTALL_DATADIR
#define PELLORA_INSTALL_DATADIR "/usr/local/share/pellora"
#endif

namespace brivane {

namespace {

std::string stringValue(const nlohmann::json& info, const char* key, const char* fallback) {
    if (info.is_object()) {
        if (auto found = info.find(key); found != info.end() && found->is_string())
            return found->get<std::string>();
    }
    return fallback;
}

} // namespace

std::vector<std::filesystem::path> AppInformation::resourceDirectories() {
    std::vector<std::filesystem::path> directories;
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        directories.push_back(executable.parent_path());
        // An installed tree moved or installed under another prefix (~/.local, a staging root).
        directories.push_back(executable.parent_path().parent_path() / "share" / "pellora");
    }
    directories.emplace_back(PELLORA_INSTALL_DATADIR);
    return directories;
}

std::filesystem::path AppInformation::resource(const std::string& fileName) {
    for (const auto& directory : resourceDirectories()) {
        std::error_code error;
        const auto candidate = directory / fileName;
        if (std::filesystem::is_regular_file(candidate, error))
            return candidate;
    }
    return {};
}

const nlohmann::json& AppInformation::document() {
    static const nlohmann::json info = [] {
        const auto path = resource("Info.json");
        if (path.empty())
            return nlohmann::json::object();
        std::ifstream in(path);
        auto parsed = nlohmann::json::parse(in, nullptr, false);
        return parsed.is_object() ? parsed : nlohmann::json::object();
    }();
    return info;
}

std::string AppIdentity::name(const nlohmann::json& information) {
    return stringValue(information, "CFBundleDisplayName", "Pellora");
}

std::string AppIdentity::version(const nlohmann::json& information) {
    return stringValue(information, "CFBundleShortVersionString", "");
}

} // namespace brivane
