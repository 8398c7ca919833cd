#include "Brivane/cloud/OAuthProtocol.h"

#include <cerrno>
#include <sys/random.h>
#include <system_error>

namespace brivane::oauth {

namespace {

constexpr std::string_view base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void appendEncoded(std::string& out, std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        // Delimiters that mean nothing inside a form value stay readable (redirect URIs).
        if (isUnreserved(c) || c == ':' || c == '/' || c == '?' || c == '@') {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0xF];
        }
    }
}

const std::string* stringMember(const nlohmann::json& object, const char* key) {
    if (!object.is_object())
        return nullptr;
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string())
        return nullptr;
    return found->get_ptr<const std::string*>();
}

// Replaces invalid UTF-8 with U+FFFD, as a lenient decoder does.
std::string sanitizedUTF8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        unsigned int min = 0;
        if (c < 0x80)
            length = 1;
        else if (c >= 0xC2 && c <= 0xDF)
            length = 2, min = 0x80;
        else if (c >= 0xE0 && c <= 0xEF)
            length = 3, min = 0x800;
        else if (c >= 0xF0 && c <= 0xF4)
            length = 4, min = 0x10000;
        bool valid = length > 0 && i + length <= bytes.size();
        unsigned int code = length <= 1 ? c : c & (0x3Fu >> (length - 1));
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        if (valid && length > 1)
            valid = code >= min && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (valid) {
            out.append(bytes.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

} // namespace

std::string base64URL(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16 |
                           static_cast<unsigned char>(bytes[i + 1]) << 8 |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += base64Alphabet[(v >> 18) & 63];
        out += base64Alphabet[(v >> 12) & 63];
        out += base64Alphabet[(v >> 6) & 63];
        out += base64Alphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2)
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        out += base64Alphabet[(v >> 18) & 63];
        out += base64Alphabet[(v >> 12) & 63];
        if (rest == 2)
            out += base64Alphabet[(v >> 6) & 63];
    }
    return out;
}

std::string randomToken(std::size_t byteCount) {
    std::string bytes(byteCount, '\0');
    std::size_t filled = 0;
    while (filled < byteCount) {
        const ssize_t got = getrandom(bytes.data() + filled, byteCount - filled, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += static_cast<std::size_t>(got);
    }
    return base64URL(bytes);
}

std::string formBody(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string out;
    for (const auto& [name, value] : fields) {
        if (!out.empty())
            out += '&';
        appendEncoded(out, name);
        out += '=';
        appendEncoded(out, value);
    }
    return out;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high << 4 | low);
        i += 2;
    }
    return out;
}

bool isURLText(std::string_view text) {
    static constexpr std::string_view allowed = "-._~:/?#[]@!$&'()*+,;=";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size() || hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0)
                return false;
            i += 2;
        } else if (!isUnreserved(c) &&
                   allowed.find(static_cast<char>(c)) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

URLParts urlParts(std::string_view url) {
    URLParts parts;
    if (const auto hash = url.find('#'); hash != std::string_view::npos) {
        parts.fragment = url.substr(hash + 1);
        url = url.substr(0, hash);
    }
    if (const auto question = url.find('?'); question != std::string_view::npos) {
        parts.query = url.substr(question + 1);
        url = url.substr(0, question);
    }
    parts.head = url;
    return parts;
}

std::optional<std::vector<QueryItem>> queryItems(std::string_view url) {
    const auto found = urlParts(url).query;
    if (!found || !isURLText(*found))
        return std::nullopt;
    const std::string_view query = *found;
    std::vector<QueryItem> items;
    if (query.empty())
        return items;
    std::size_t start = 0;
    while (true) {
        const auto amp = query.find('&', start);
        const std::string_view piece = query.substr(
            start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
        const auto equals = piece.find('=');
        auto name = percentDecoded(piece.substr(0, equals));
        if (!name)
            return std::nullopt;
        std::optional<std::string> value;
        if (equals != std::string_view::npos) {
            value = percentDecoded(piece.substr(equals + 1));
            if (!value)
                return std::nullopt;
        }
        items.emplace_back(std::move(*name), std::move(value));
        if (amp == std::string_view::npos)
            break;
        start = amp + 1;
    }
    return items;
}

std::optional<std::string> firstValue(const std::vector<QueryItem>& items, std::string_view name) {
    for (const auto& [key, value] : items) {
        if (key == name && value)
            return value;
    }
    return std::nullopt;
}

std::optional<std::string> loopbackCallback(std::string_view request, unsigned port,
                                            std::string_view expectedState) {
    const std::string text = sanitizedUTF8(request.substr(0, request.find("\r\n")));
    std::vector<std::string_view> pieces;
    std::string_view line = text;
    while (!line.empty()) {
        const auto space = line.find(' ');
        const std::string_view piece = line.substr(0, space);
        if (!piece.empty())
            pieces.push_back(piece);
        if (space == std::string_view::npos)
            break;
        line.remove_prefix(space + 1);
    }
    if (pieces.size() != 3 || pieces[0] != "GET" || pieces[1].empty() || pieces[1][0] != '/')
        return std::nullopt;
    const std::string_view target = pieces[1];
    if (!isURLText(target))
        return std::nullopt;
    const URLParts parts = urlParts(target);
    if (parts.fragment || parts.head != "/oauth2redirect")
        return std::nullopt;
    const auto items = queryItems(target);
    if (!items || items->empty())
        return std::nullopt;
    int states = 0;
    bool stateMatches = false;
    bool answered = false;
    for (const auto& [name, value] : *items) {
        if (name == "state") {
            ++states;
            stateMatches = value && *value == expectedState;
        } else if ((name == "code" || name == "error") && value && !value->empty()) {
            answered = true;
        }
    }
    if (states != 1 || !stateMatches || !answered)
        return std::nullopt;
    return "http://127.0.0.1:" + std::to_string(port) + std::string(target);
}

CallbackResult readCallback(std::string_view url, std::string_view expectedState) {
    const auto items = queryItems(url);
    if (!items || items->empty())
        return {};
    if (auto description = firstValue(*items, "error_description"))
        return {CallbackResult::Kind::providerError, std::move(*description)};
    if (auto error = firstValue(*items, "error"))
        return {CallbackResult::Kind::providerError, std::move(*error)};
    std::optional<std::string> state;
    std::optional<std::string> code;
    for (const auto& [name, value] : *items) {
        if (name == "state" && !state)
            state = value.value_or("");
        if (name == "code" && !code && value)
            code = value;
    }
    if (!state || *state != expectedState || !code || code->empty())
        return {};
    return {CallbackResult::Kind::code, std::move(*code)};
}

TokenResult readTokenResponse(int httpStatus, std::string_view body) {
    TokenResult result;
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (httpStatus >= 200 && httpStatus <= 299) {
        if (json.is_discarded()) {
            result.malformed = true;
            return result;
        }
        const std::string* access = stringMember(json, "access_token");
        if (!access)
            return result;
        result.kind = TokenResult::Kind::tokens;
        result.accessToken = *access;
        if (const std::string* refresh = stringMember(json, "refresh_token"))
            result.refreshToken = *refresh;
        return result;
    }
    result.kind = TokenResult::Kind::providerError;
    if (const std::string* description = stringMember(json, "error_description"))
        result.message = *description;
    else if (const std::string* error = stringMember(json, "error"))
        result.message = *error;
    return result;
}

std::optional<std::string> apiErrorMessage(std::string_view body) {
    const auto json = nlohmann::json::parse(body, nullptr, false);
    if (!json.is_object())
        return std::nullopt;
    const auto error = json.find("error");
    if (error == json.end())
        return std::nullopt;
    if (const std::string* message = stringMember(*error, "message"))
        return *message;
    return std::nullopt;
}

ProfileFields readProfile(const nlohmann::json& object, std::string_view subjectKey) {
    ProfileFields fields;
    if (const std::string* subject = stringMember(object, std::string(subjectKey).c_str()))
        fields.subject = *subject;
    for (const char* key : {"email", "mail", "userPrincipalName"}) {
        if (const std::string* email = stringMember(object, key)) {
            fields.email = *email;
            break;
        }
    }
    return fields;
}

} // namespace brivane::oauth
