#pragma once

// The pieces of the OAuth exchange that are plain text in, text out: tokens, form encoding,
// callback query items, the loopback receiver's request check and the providers' JSON answers.
// No Qt here, so the parsers can be fuzzed on their own.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brivane::oauth {

using QueryItem = std::pair<std::string, std::optional<std::string>>;

// Standard Base64 with "+" -> "-", "/" -> "_" and no "=".
std::string base64URL(std::string_view bytes);
// byteCount bytes from getrandom(2), Base64URL-encoded. Throws std::system_error if the kernel
// refuses.
std::string randomToken(std::size_t byteCount);

// "name=value&…" with every byte outside the unreserved set and a few harmless delimiters
// percent-encoded; "+", "&" and "=" inside names and values are always encoded.
std::string formBody(const std::vector<std::pair<std::string, std::string>>& fields);

// Decodes "%HH" sequences; "+" stays "+". Absent when a "%" is not followed by two hex digits.
std::optional<std::string> percentDecoded(std::string_view text);
// True when every character may stand in a URL (RFC 3986 characters, "%" only before two hex
// digits): what a request target must satisfy before it is read as a URL.
bool isURLText(std::string_view text);

// A URL text cut where RFC 3986 cuts it: the fragment after the first "#", the query between
// the first "?" before it and that "#", and before both the rest (scheme, authority, path).
// Every reader of a URL's path or query goes through this, so none of them can read a "?"
// inside a fragment as the start of a query.
struct URLParts {
    std::string_view head;
    std::optional<std::string_view> query;
    std::optional<std::string_view> fragment;
};
URLParts urlParts(std::string_view url);

// The query items of a URL text (see urlParts), decoded; absent when the URL has no query or
// the query is not valid URL text. An item without "=" has no value.
std::optional<std::vector<QueryItem>> queryItems(std::string_view url);
// The first item of that name that has a value.
std::optional<std::string> firstValue(const std::vector<QueryItem>& items, std::string_view name);

// The loopback receiver's verdict on one request buffer (everything up to the blank line):
// the callback URL "http://127.0.0.1:<port><target>" when the request line is
// "GET /oauth2redirect?…" with exactly one "state" equal to `expectedState` and a "code" or
// "error" with a value, and no fragment (a browser never sends one); absent otherwise (the
// answer is then 404).
std::optional<std::string> loopbackCallback(std::string_view request, unsigned port,
                                            std::string_view expectedState);

// The outcome of reading a callback URL: the code, or the provider's error text, or invalid.
struct CallbackResult {
    enum class Kind { code, providerError, invalid };
    Kind kind = Kind::invalid;
    std::string value;
};
CallbackResult readCallback(std::string_view url, std::string_view expectedState);

// A token endpoint's answer.
struct TokenResult {
    enum class Kind { tokens, invalid, providerError };
    Kind kind = Kind::invalid;
    std::string accessToken;
    std::optional<std::string> refreshToken;
    // The provider's message; empty for a failure with no message of its own.
    std::string message;
    // The body of a success was not JSON at all.
    bool malformed = false;
};
TokenResult readTokenResponse(int httpStatus, std::string_view body);

// The "error.message" of a failed API answer, if any.
std::optional<std::string> apiErrorMessage(std::string_view body);

// The user's stable identifier and address from a user-info answer (either may be empty).
struct ProfileFields {
    std::string subject;
    std::string email;
};
ProfileFields readProfile(const nlohmann::json& object, std::string_view subjectKey);

} // namespace brivane::oauth
