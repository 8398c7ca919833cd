#pragma once

// What differs between the two cloud providers, each in one object: where sign-in, tokens,
// profile and calendars live, which scopes are asked for, how the browser hands the sign-in back,
// how list pages are written and how one page leads to the next.

#include "Brivane/AppConfiguration.h"
#include "Brivane/cloud/CloudCalendarAccount.h"
#include "Brivane/cloud/CloudCalendarPages.h"

#include <QUrl>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace brivane {

using FormFields = std::vector<std::pair<std::string, std::string>>;

class CloudProvider {
public:
    // The provider's object on the endpoints and client keys of `configuration`.
    static std::unique_ptr<CloudProvider> make(CloudCalendarProvider provider,
                                               const AppConfiguration& configuration);
    virtual ~CloudProvider() = default;

    virtual CloudCalendarProvider kind() const = 0;
    // Pellora's client id at the provider ("" when none is configured).
    virtual const std::string& clientID() const = 0;
    // Whether every key a sign-in needs is there.
    virtual bool isConfigured() const = 0;

    virtual QUrl authorizeURL() const = 0;
    virtual QUrl tokenURL() const = 0;
    virtual QUrl profileURL() const = 0;
    // The profile member that names the account ("sub" or "id").
    virtual const char* subjectKey() const = 0;
    virtual const std::string& scope() const = 0;
    // True: the browser comes back to a loopback receiver. False: to the custom-scheme redirect,
    // which the desktop delivers through the single-instance socket.
    virtual bool receivesOnLoopback() const = 0;
    // Appends the provider's own parameters of the authorization request.
    virtual void completeAuthorization(FormFields& items) const = 0;
    enum class Grant { authorizationCode, refreshToken };
    // Appends the provider's own fields of a token request. Throws
    // CloudCalendarError::notConfigured when a key it needs is missing.
    virtual void completeTokenRequest(FormFields& fields, Grant grant) const = 0;

    // How the provider writes its calendar-list and event pages.
    virtual const PageFormat& pageFormat() const = 0;
    // The first page of the calendar list; empty when the base URL is not usable.
    virtual QUrl calendarListURL() const = 0;
    // The first page of one calendar's events between two instants (ISO text, UTC); empty when
    // the base URL is not usable.
    virtual QUrl eventsURL(const std::string& calendarID, const std::string& windowStart,
                           const std::string& windowEnd) const = 0;
    // The page after `continuation` of the list that began at `first`. Throws
    // CloudCalendarError::provider for a next page the bearer token must not follow.
    virtual QUrl nextPage(const QUrl& first, const std::string& continuation) const = 0;
};

} // namespace brivane
