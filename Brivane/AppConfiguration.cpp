#include "Brivane/AppConfiguration.h"

#include "Brivane/AppIdentity.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QHostAddress>
#include <QUrl>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace brivane {

namespace {

struct Key {
    const char* name;
    std::string AppConfiguration::*field;
    bool isURL;
};

constexpr Key keys[] = {
    {"PelloraGoogleAuthorizationBaseURL", &AppConfiguration::googleAuthorizationBaseURL, true},
    {"PelloraGoogleTokenBaseURL", &AppConfiguration::googleTokenBaseURL, true},
    {"PelloraGoogleUserInfoBaseURL", &AppConfiguration::googleUserInfoBaseURL, true},
    {"PelloraGoogleCalendarBaseURL", &AppConfiguration::googleCalendarBaseURL, true},
    {"PelloraMicrosoftLoginBaseURL", &AppConfiguration::microsoftLoginBaseURL, true},
    {"PelloraMicrosoftGraphBaseURL", &AppConfiguration::microsoftGraphBaseURL, true},
    {"PelloraUpdateHost", &AppConfiguration::updateHost, false},
    {"PelloraGoogleOAuthClientID", &AppConfiguration::googleClientID, false},
    {"PelloraMicrosoftOAuthClientID", &AppConfiguration::microsoftClientID, false},
    {"PelloraGoogleDesktopClientSecret", &AppConfiguration::googleClientSecret, false},
};

void apply(AppConfiguration& configuration, const nlohmann::json& document,
           const std::string& source) {
    if (!document.is_object())
        return;
    for (const Key& key : keys) {
        const auto found = document.find(key.name);
        if (found == document.end() || !found->is_string())
            continue;
        std::string value = found->get<std::string>();
        // An empty base URL keeps the provider's real endpoint.
        if (key.isURL && value.empty())
            continue;
        if (key.isURL && !AppConfiguration::isAcceptableBaseURL(value)) {
            configuration.warnings.push_back(AgendaLanguage::text(
                source + ": " + key.name + " ignorato (serve https, o http solo su loopback)",
                source + ": " + key.name +
                    " ignored (https is required, plain http only on loopback)"));
            continue;
        }
        // A trailing slash would double the one every endpoint path starts with.
        while (key.isURL && !value.empty() && value.back() == '/')
            value.pop_back();
        configuration.*key.field = std::move(value);
    }
}

} // namespace

bool AppConfiguration::isAcceptableBaseURL(const std::string& text) {
    const QUrl url(QString::fromStdString(text), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    if (scheme != QLatin1String("http"))
        return false;
    const QString host = url.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

std::string AppConfiguration::overridesPath() {
    return configDirectory() + "/oauth.json";
}

std::string AppConfiguration::configDirectory() {
    std::string base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        base = config;
    else if (const char* home = std::getenv("HOME"); home && home[0])
        base = std::string(home) + "/.config";
    else
        base = ".config";
    std::string directory = "Brivane";
    const auto& info = AppInformation::document();
    if (const auto found = info.find("PelloraDataDirectoryName");
        found != info.end() && found->is_string() && !found->get<std::string>().empty())
        directory = found->get<std::string>();
    return base + "/" + directory;
}

AppConfiguration AppConfiguration::from(const nlohmann::json& information,
                                        const nlohmann::json& overrides) {
    AppConfiguration configuration;
    apply(configuration, information, "Info.json");
    apply(configuration, overrides, "oauth.json");
    return configuration;
}

AppConfiguration AppConfiguration::load() {
    nlohmann::json overrides = nlohmann::json::object();
    std::vector<std::string> problems;
    const std::string path = overridesPath();
    std::error_code error;
    if (std::filesystem::exists(path, error)) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        overrides = nlohmann::json::parse(text.str(), nullptr, false);
        if (!in || !overrides.is_object()) {
            problems.push_back(AgendaLanguage::text(path + ": non è un oggetto JSON leggibile",
                                                    path + ": not a readable JSON object"));
            overrides = nlohmann::json::object();
        }
    }
    AppConfiguration configuration = from(AppInformation::document(), overrides);
    configuration.warnings.insert(configuration.warnings.begin(), problems.begin(), problems.end());
    return configuration;
}

} // namespace brivane
