#include "Brivane/cloud/CloudProvider.h"

#include "Brivane/cloud/CloudUrls.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <algorithm>

namespace brivane {

namespace {

bool isBlank(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    });
}

QUrl plainURL(const std::string& url) {
    return QUrl(QString::fromStdString(url));
}

// Google: a loopback redirect, a client secret, and lists that continue with the first request
// repeated plus the newest "pageToken".
class GoogleProvider final : public CloudProvider {
public:
    explicit GoogleProvider(const AppConfiguration& configuration)
        : configuration_(configuration) {}

    CloudCalendarProvider kind() const override { return CloudCalendarProvider::google; }
    const std::string& clientID() const override { return configuration_.googleClientID; }
    bool isConfigured() const override {
        return !isBlank(configuration_.googleClientID) &&
               !configuration_.googleClientSecret.empty();
    }
    QUrl authorizeURL() const override {
        return plainURL(configuration_.googleAuthorizationBaseURL + "/o/oauth2/v2/auth");
    }
    QUrl tokenURL() const override {
        return plainURL(configuration_.googleTokenBaseURL + "/token");
    }
    QUrl profileURL() const override {
        return plainURL(configuration_.googleUserInfoBaseURL + "/v1/userinfo");
    }
    const char* subjectKey() const override { return "sub"; }
    const std::string& scope() const override {
        static const std::string scope =
            "openid email https://www.googleapis.com/auth/calendar.events.readonly "
            "https://www.googleapis.com/auth/calendar.calendarlist.readonly";
        return scope;
    }
    bool receivesOnLoopback() const override { return true; }
    void completeAuthorization(FormFields& items) const override {
        // Without both, Google hands out a refresh token only on the very first consent.
        items.emplace_back("access_type", "offline");
        items.emplace_back("prompt", "consent");
    }
    void completeTokenRequest(FormFields& fields, Grant) const override {
        fields.emplace_back("client_secret", configuration_.googleClientSecret);
    }

    const PageFormat& pageFormat() const override { return googlePageFormat; }
    QUrl calendarListURL() const override {
        return apiURL(configuration_.googleCalendarBaseURL,
                      QStringLiteral("/calendar/v3/users/me/calendarList?maxResults=250"));
    }
    QUrl eventsURL(const std::string& calendarID, const std::string& windowStart,
                   const std::string& windowEnd) const override {
        return apiURL(configuration_.googleCalendarBaseURL,
                      QStringLiteral("/calendar/v3/calendars/") + pathSegment(calendarID) +
                          QStringLiteral("/events?timeMin=") + queryValue(windowStart) +
                          QStringLiteral("&timeMax=") + queryValue(windowEnd) +
                          QStringLiteral("&singleEvents=true&orderBy=startTime&maxResults=2500"));
    }
    QUrl nextPage(const QUrl& first, const std::string& continuation) const override {
        QUrl url = first;
        url.setQuery(first.query(QUrl::FullyEncoded) + QStringLiteral("&pageToken=") +
                         queryValue(continuation),
                     QUrl::StrictMode);
        return url;
    }

private:
    const AppConfiguration& configuration_;
};

// Microsoft: the custom-scheme redirect, no secret (a public client), and Graph lists that hand
// over the next page's whole URL.
class MicrosoftProvider final : public CloudProvider {
public:
    explicit MicrosoftProvider(const AppConfiguration& configuration)
        : configuration_(configuration) {}

    CloudCalendarProvider kind() const override { return CloudCalendarProvider::microsoft; }
    const std::string& clientID() const override { return configuration_.microsoftClientID; }
    bool isConfigured() const override { return !isBlank(configuration_.microsoftClientID); }
    QUrl authorizeURL() const override {
        return plainURL(configuration_.microsoftLoginBaseURL + "/common/oauth2/v2.0/authorize");
    }
    QUrl tokenURL() const override {
        return plainURL(configuration_.microsoftLoginBaseURL + "/common/oauth2/v2.0/token");
    }
    QUrl profileURL() const override {
        return plainURL(configuration_.microsoftGraphBaseURL +
                        "/v1.0/me?$select=id,displayName,mail,userPrincipalName");
    }
    const char* subjectKey() const override { return "id"; }
    const std::string& scope() const override {
        static const std::string scope =
            "openid profile email offline_access User.Read Calendars.Read";
        return scope;
    }
    bool receivesOnLoopback() const override { return false; }
    void completeAuthorization(FormFields&) const override {}
    void completeTokenRequest(FormFields& fields, Grant grant) const override {
        if (grant == Grant::refreshToken)
            fields.emplace_back("scope", scope());
    }

    const PageFormat& pageFormat() const override { return graphPageFormat; }
    QUrl calendarListURL() const override {
        return apiURL(configuration_.microsoftGraphBaseURL,
                      QStringLiteral("/v1.0/me/calendars?$select=id,name&$top=100"));
    }
    QUrl eventsURL(const std::string& calendarID, const std::string& windowStart,
                   const std::string& windowEnd) const override {
        return apiURL(
            configuration_.microsoftGraphBaseURL,
            QStringLiteral("/v1.0/me/calendars/") + pathSegment(calendarID) +
                QStringLiteral("/calendarView?startDateTime=") + queryValue(windowStart) +
                QStringLiteral("&endDateTime=") + queryValue(windowEnd) +
                QStringLiteral("&$select=id,subject,start,end,isAllDay,isCancelled&$top=1000"));
    }
    // The link is only followed on the Graph host itself, so the bearer token never goes
    // anywhere else.
    QUrl nextPage(const QUrl&, const std::string& continuation) const override {
        const QUrl link(QString::fromStdString(continuation), QUrl::StrictMode);
        if (!link.isValid() || !sameOrigin(link, plainURL(configuration_.microsoftGraphBaseURL)))
            throw CloudCalendarError::provider(AgendaLanguage::text(
                "Microsoft Graph ha indicato la pagina successiva su un altro indirizzo; "
                "lettura interrotta.",
                "Microsoft Graph pointed to the next page on another address; reading "
                "stopped."));
        return link;
    }

private:
    const AppConfiguration& configuration_;
};

} // namespace

std::unique_ptr<CloudProvider> CloudProvider::make(CloudCalendarProvider provider,
                                                   const AppConfiguration& configuration) {
    if (provider == CloudCalendarProvider::microsoft)
        return std::make_unique<MicrosoftProvider>(configuration);
    return std::make_unique<GoogleProvider>(configuration);
}

} // namespace brivane
