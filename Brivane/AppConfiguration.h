#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace brivane {

// Deployment settings: provider endpoints, the update host and the OAuth client keys. They come
// from Info.json (filled at build time), and the same keys in
// $XDG_CONFIG_HOME/Brivane/oauth.json override them, so a user can bring their own OAuth client.
struct AppConfiguration {
    // Base URLs (scheme, host, optional port; no path). Only https is accepted, except plain
    // http on a loopback host.
    std::string googleAuthorizationBaseURL = "https://accounts.google.com";
    std::string googleTokenBaseURL = "https://oauth2.googleapis.com";
    std::string googleUserInfoBaseURL = "https://openidconnect.googleapis.com";
    std::string googleCalendarBaseURL = "https://www.googleapis.com";
    std::string microsoftLoginBaseURL = "https://login.microsoftonline.com";
    std::string microsoftGraphBaseURL = "https://graph.microsoft.com";
    // Host name of the release feed ("PelloraUpdateHost"); empty: update checks are off.
    std::string updateHost;

    // The client keys, exactly as stored (a client ID of only white space counts as absent;
    // see the accessors).
    std::string googleClientID;
    std::string microsoftClientID;
    std::string googleClientSecret;

    // Problems found while reading (an override that was ignored, an unreadable oauth.json),
    // one user-visible line each.
    std::vector<std::string> warnings;

    // Info.json, then oauth.json on top.
    static AppConfiguration load();
    // `information` then `overrides` (either may be a non-object, which counts as empty).
    static AppConfiguration from(const nlohmann::json& information,
                                 const nlohmann::json& overrides);
    // $XDG_CONFIG_HOME/Brivane/oauth.json
    static std::string overridesPath();
    // The application's folder under $XDG_CONFIG_HOME (else ~/.config), without a final "/".
    static std::string configDirectory();

    // True for an https URL, or an http URL whose host is a loopback address or "localhost".
    static bool isAcceptableBaseURL(const std::string& url);
};

} // namespace brivane
