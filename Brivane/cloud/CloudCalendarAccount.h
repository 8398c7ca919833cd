#pragma once

// The cloud subsystem's own values: the providers, a connected account as the keyring keeps it,
// the calendars and events fetched for it, and the errors with their user-visible descriptions.

#include "BrivaneCore/AgendaDates.h"
#include "BrivaneCore/RawValue.h"

#include <array>
#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace brivane {

enum class CloudCalendarProvider { google, microsoft };

// The titles are the same in both languages.
inline constexpr EnumNames<CloudCalendarProvider, 2> cloudCalendarProviderNames{{
    {CloudCalendarProvider::google, "google", "Google Calendar", "Google Calendar"},
    {CloudCalendarProvider::microsoft, "microsoft", "Microsoft 365 / Outlook",
     "Microsoft 365 / Outlook"},
}};
constexpr std::array<CloudCalendarProvider, 2> allCloudCalendarProviders =
    cloudCalendarProviderNames.all();

std::string_view rawValue(CloudCalendarProvider provider);
std::optional<CloudCalendarProvider> cloudCalendarProviderFromRawValue(std::string_view raw);
std::string title(CloudCalendarProvider provider);

struct CloudCalendarAccount {
    CloudCalendarProvider provider = CloudCalendarProvider::google;
    std::string subject;
    std::string email;
    std::string refreshToken;

    // provider raw value + ":" + subject
    std::string id() const;
    bool operator==(const CloudCalendarAccount&) const = default;

    // The stored document: a compact JSON array of {"provider","subject","email","refreshToken"}.
    static std::string encode(const std::vector<CloudCalendarAccount>& accounts);
    // Absent when the text is not such an array (a missing key spoils the whole list).
    static std::optional<std::vector<CloudCalendarAccount>> decode(std::string_view json);
};

// The errors of the cloud subsystem, with their user-visible (English) descriptions.
class CloudCalendarError : public std::exception {
public:
    enum class Kind {
        provider,
        keychain,
        notConfigured,
        authenticationCancelled,
        invalidCallback,
        missingRefreshToken,
    };

    static CloudCalendarError provider(std::string text);
    // `status` is the keyring's error code (QKeychain::Error); `reason` its own description.
    static CloudCalendarError keychain(std::int32_t status, std::string reason);
    static CloudCalendarError notConfigured();
    static CloudCalendarError authenticationCancelled();
    static CloudCalendarError invalidCallback();
    static CloudCalendarError missingRefreshToken();

    Kind kind() const { return kind_; }
    std::int32_t status() const { return status_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    CloudCalendarError(Kind kind, std::string description, std::int32_t status = 0);
    Kind kind_;
    std::string description_;
    std::int32_t status_ = 0;
};

// A network failure (transport error or time-out) with the system's description.
class CloudNetworkError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    // A request that got no answer in time.
    static CloudNetworkError timedOut();
};

// A selectable cloud calendar.
struct CloudCalendarChoice {
    std::string id; // provider raw value + ":" + subject + ":" + provider calendar id
    std::string name;
    std::string account; // the account's id()
    CloudCalendarProvider provider = CloudCalendarProvider::google;
    bool operator==(const CloudCalendarChoice&) const = default;
};

// One event of the agenda window.
struct CloudEvent {
    std::string calendarID;
    std::string accountID;
    std::string id;
    std::string title;
    Date start;
    Date end;
    bool allDay = false;
    bool operator==(const CloudEvent&) const = default;
};

} // namespace brivane
