#include "Brivane/cloud/CloudCalendarAccount.h"

#include "BrivaneCore/AgendaLanguage.h"

#include <nlohmann/json.hpp>

namespace brivane {

std::string_view rawValue(CloudCalendarProvider provider) {
    return cloudCalendarProviderNames.rawValue(provider);
}

std::optional<CloudCalendarProvider> cloudCalendarProviderFromRawValue(std::string_view raw) {
    return cloudCalendarProviderNames.fromRawValue(raw);
}

std::string title(CloudCalendarProvider provider) {
    return cloudCalendarProviderNames.title(provider);
}

std::string CloudCalendarAccount::id() const {
    return std::string(rawValue(provider)) + ":" + subject;
}

std::string CloudCalendarAccount::encode(const std::vector<CloudCalendarAccount>& accounts) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& account : accounts) {
        nlohmann::ordered_json object;
        object["provider"] = std::string(rawValue(account.provider));
        object["subject"] = account.subject;
        object["email"] = account.email;
        object["refreshToken"] = account.refreshToken;
        list.push_back(std::move(object));
    }
    // Invalid UTF-8 is replaced rather than thrown: a name from a provider must not block saving.
    return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::vector<CloudCalendarAccount>>
CloudCalendarAccount::decode(std::string_view json) {
    const auto document = nlohmann::json::parse(json, nullptr, false);
    if (!document.is_array())
        return std::nullopt;
    std::vector<CloudCalendarAccount> accounts;
    for (const auto& element : document) {
        if (!element.is_object())
            return std::nullopt;
        CloudCalendarAccount account;
        for (const char* key : {"provider", "subject", "email", "refreshToken"}) {
            const auto found = element.find(key);
            if (found == element.end() || !found->is_string())
                return std::nullopt;
        }
        const auto provider =
            cloudCalendarProviderFromRawValue(element["provider"].get_ref<const std::string&>());
        if (!provider)
            return std::nullopt;
        account.provider = *provider;
        account.subject = element["subject"].get<std::string>();
        account.email = element["email"].get<std::string>();
        account.refreshToken = element["refreshToken"].get<std::string>();
        accounts.push_back(std::move(account));
    }
    return accounts;
}

CloudCalendarError::CloudCalendarError(Kind kind, std::string description, std::int32_t status)
    : kind_(kind), description_(std::move(description)), status_(status) {}

CloudCalendarError CloudCalendarError::provider(std::string text) {
    return {Kind::provider, std::move(text)};
}

CloudCalendarError CloudCalendarError::keychain(std::int32_t status, std::string reason) {
    if (reason.empty())
        reason = AgendaLanguage::text("errore ", "error ") + std::to_string(status);
    if (reason.back() != '.')
        reason += '.';
    return {Kind::keychain,
            AgendaLanguage::text("Impossibile salvare l’accesso nel portachiavi: ",
                                 "Could not save the sign-in to the keyring: ") +
                reason,
            status};
}

CloudCalendarError CloudCalendarError::notConfigured() {
    return {Kind::notConfigured, "OAuth configuration is missing."};
}

CloudCalendarError CloudCalendarError::authenticationCancelled() {
    return {Kind::authenticationCancelled, "Sign-in was cancelled."};
}

CloudCalendarError CloudCalendarError::invalidCallback() {
    return {Kind::invalidCallback, "The sign-in response was invalid."};
}

CloudCalendarError CloudCalendarError::missingRefreshToken() {
    return {Kind::missingRefreshToken,
            "The provider did not return a refresh token. Revoke Pellora's access and try again."};
}

CloudNetworkError CloudNetworkError::timedOut() {
    return CloudNetworkError(
        AgendaLanguage::text("La richiesta è scaduta.", "The request timed out."));
}

} // namespace brivane
