// The text Plasma's script engine is handed for a wallpaper: whatever the path or the option
// text, each string literal written into the script reads back, under the language's own
// rules for string literals, as exactly that text, and the image literal names the same file.
#include "Brivane/desktop/JavaScriptText.h"

#include <QDir>
#include <QString>
#include <QUrl>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

bool isLineTerminator(char16_t c) {
    return c == u'\n' || c == u'\r' || c == 0x2028 || c == 0x2029;
}

int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

void appendCodePoint(QString& out, char32_t code) {
    const char32_t units[1] = {code};
    out += QString::fromUcs4(units, 1);
}

// A StringLiteral as ECMAScript reads one, over UTF-16 source text, from `text[at]` to the
// end of the text (nothing may follow). Line terminators may not stand unescaped (before the
// 2019 edition, U+2028 and U+2029 could not either, and an engine may follow that rule);
// legacy octal escapes belong to sloppy mode only and are refused.
std::optional<QString> readStringLiteral(const QString& text) {
    qsizetype i = 0;
    const auto at = [&](qsizetype k) -> char16_t {
        return k < text.size() ? text[k].unicode() : char16_t(0xFFFF);
    };
    const char16_t quote = at(i);
    if (quote != u'"' && quote != u'\'')
        return std::nullopt;
    ++i;
    QString value;
    while (true) {
        if (i >= text.size())
            return std::nullopt;
        const char16_t c = at(i);
        if (c == quote) {
            ++i;
            break;
        }
        if (isLineTerminator(c))
            return std::nullopt;
        if (c != u'\\') {
            value += QChar(c);
            ++i;
            continue;
        }
        ++i;
        if (i >= text.size())
            return std::nullopt;
        const char16_t e = at(i++);
        // The single escape characters.
        static constexpr std::u16string_view named = u"'\"\\bfnrtv";
        static constexpr std::u16string_view meant = u"'\"\\\b\f\n\r\t\v";
        if (const auto k = named.find(e); k != std::u16string_view::npos) {
            value += QChar(meant[k]);
            continue;
        }
        switch (e) {
        case u'\r':
            if (at(i) == u'\n')
                ++i;
            break;
        case u'\n':
        case 0x2028:
        case 0x2029:
            break; // line continuation
        case u'0':
            if (at(i) >= u'0' && at(i) <= u'9')
                return std::nullopt;
            value += QChar(u'\0');
            break;
        case u'x': {
            const int high = hexDigit(at(i)), low = hexDigit(at(i + 1));
            if (high < 0 || low < 0)
                return std::nullopt;
            value += QChar(char16_t(high << 4 | low));
            i += 2;
            break;
        }
        case u'u': {
            char32_t code = 0;
            if (at(i) == u'{') {
                ++i;
                int digits = 0;
                for (; hexDigit(at(i)) >= 0; ++i, ++digits) {
                    code = code << 4 | char32_t(hexDigit(at(i)));
                    if (code > 0x10FFFF)
                        return std::nullopt;
                }
                if (digits == 0 || at(i) != u'}')
                    return std::nullopt;
                ++i;
                appendCodePoint(value, code);
            } else {
                for (int k = 0; k < 4; ++k) {
                    const int digit = hexDigit(at(i + k));
                    if (digit < 0)
                        return std::nullopt;
                    code = code << 4 | char32_t(digit);
                }
                i += 4;
                value += QChar(char16_t(code));
            }
            break;
        }
        default:
            if (e >= u'1' && e <= u'9')
                return std::nullopt;
            value += QChar(e); // a non-escape character stands for itself
        }
    }
    if (i != text.size())
        return std::nullopt;
    return value;
}

// The literal as the shell receives it: the script travels as UTF-16 text.
std::optional<QString> readBack(const std::string& literal) {
    return readStringLiteral(QString::fromStdString(literal));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // Any text: option values and connector names come from the system.
    const auto text = readBack(brivane::javaScriptString(bytes));
    if (!text)
        std::abort();
    const QString decoded = QString::fromUtf8(bytes);
    if (decoded.toUtf8() == QByteArray::fromStdString(bytes) && *text != decoded)
        std::abort();

    // A picture's path, clean and absolute as the wallpaper service makes it (Qt reads a path
    // that starts with "//" as a network share), spelled as the wallpaper's URL.
    if (decoded.contains(QChar(u'\0')))
        return 0;
    const QString path = QDir::cleanPath(QLatin1Char('/') + decoded);
    const QUrl url = QUrl::fromLocalFile(path);
    const std::string image = url.toString(QUrl::FullyEncoded).toStdString();
    const auto spelled = readBack(brivane::javaScriptString(image));
    if (!spelled || *spelled != QString::fromStdString(image))
        std::abort();
    // Qt's URLs lose Unicode's noncharacters (U+FFFF, …) on the way back, in Plasma as here.
    const auto codes = path.toUcs4();
    if (std::none_of(codes.begin(), codes.end(),
                     [](char32_t c) { return QChar::isNonCharacter(c); }) &&
        QUrl(*spelled, QUrl::TolerantMode).toLocalFile() != path)
        std::abort();
    return 0;
}
