// The loopback receiver's reading of a browser request, and the callback and query parsing
// behind it: any bytes get an answer without crashing, and an accepted request always becomes
// a redirect URL on the receiver's own path, without a fragment, that still carries the
// expected state. Cutting a URL into its parts loses nothing.
#include "Brivane/cloud/OAuthProtocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void checkParts(std::string_view url) {
    const auto parts = brivane::oauth::urlParts(url);
    std::string joined(parts.head);
    if (parts.query)
        joined += "?" + std::string(*parts.query);
    if (parts.fragment)
        joined += "#" + std::string(*parts.fragment);
    if (joined != url || parts.head.find_first_of("?#") != std::string_view::npos ||
        (parts.query && parts.query->find('#') != std::string_view::npos))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    checkParts(input);
    if (const auto url = brivane::oauth::loopbackCallback(input, 65535, "S")) {
        if (url->rfind("http://127.0.0.1:65535/oauth2redirect?", 0) != 0)
            std::abort();
        const auto parts = brivane::oauth::urlParts(*url);
        if (parts.fragment || parts.head != "http://127.0.0.1:65535/oauth2redirect")
            std::abort();
        const auto items = brivane::oauth::queryItems(*url);
        if (!items || brivane::oauth::firstValue(*items, "state") != "S")
            std::abort();
        (void)brivane::oauth::readCallback(*url, "S");
    }
    (void)brivane::oauth::readCallback(input, "S");
    (void)brivane::oauth::percentDecoded(input);
    return 0;
}
