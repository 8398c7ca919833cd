// The providers' JSON answers: token responses at every status, API errors and user info.
#include "Brivane/cloud/OAuthProtocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    // The first byte picks the HTTP status class.
    static constexpr int statuses[] = {200, 201, 299, 302, 400, 401, 500, 0};
    const int status = statuses[data[0] % 8];
    const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto result = brivane::oauth::readTokenResponse(status, body);
    if (result.kind == brivane::oauth::TokenResult::Kind::tokens && (status < 200 || status > 299))
        std::abort();
    brivane::oauth::apiErrorMessage(body);
    const auto json = nlohmann::json::parse(body, nullptr, false);
    brivane::oauth::readProfile(json, "sub");
    brivane::oauth::readProfile(json, "id");
    return 0;
}
