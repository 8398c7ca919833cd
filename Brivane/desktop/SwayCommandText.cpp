#include "Brivane/desktop/SwayCommandText.h"

#include <cstring>

namespace brivane {

// A command sent over sway's socket is taken apart in layers (sway 1.7, execute_command): it is
// split at unquoted, unescaped ";" and "," (argsep), then into words at unquoted whitespace; a
// word's unescaped quotes are dropped but every backslash stays; "$name" config variables are
// replaced and "$$" becomes "$" unless the "$" follows a single backslash; no C escapes are
// undone, unlike in the config file. The background's file then goes through wordexp(3), which
// would expand "$…", "`…`", "*", "~" and run "$(…)", after a backslash was put between any two
// spaces.
//
// The path travels as one double-quoted word. A backslash is only ever followed by a byte none
// of those layers treats specially, or by a second backslash: argsep keeps a backslash's escape
// alive across an escaped quote or separator and would then misread the next backslash, so
// those never follow one. Every other byte reaches wordexp so that wordexp gives it back:
// - letters, digits, "/._+@%:=-" and non-ASCII bytes as they are;
// - a backslash doubled (wordexp's escape of a backslash);
// - "$" as "$$" inside single quotes (sway turns it into one "$", wordexp leaves it alone);
// - ";" and "," inside single quotes (sway sees them inside its double quotes);
// - a double quote inside single quotes for wordexp, carried by a single-quoted stretch of
//   sway's; a single quote inside double quotes for wordexp, carried the other way round;
// - any other ASCII byte behind one backslash, which sway keeps and wordexp removes.
// No two spaces ever meet.
std::optional<std::string> swayQuotedPath(std::string_view path) {
    if (path.find('\n') != std::string_view::npos)
        return std::nullopt;
    std::string word = "\"";
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c >= 0x80 || (c != 0 && std::strchr("/._+@%:=-", c)))
            word += ch;
        else if (c == '\\')
            word += "\\\\";
        else if (c == '$')
            word += "'$$'";
        else if (c == ';' || c == ',')
            word += std::string("'") + ch + "'";
        else if (c == '"')
            word += R"('"'"'"')"; // sway: ' "  '"'  " '   wordexp: '"'
        else if (c == '\'')
            word += R"("'"'"'"'"'")"; // sway: "  '"'  "'"  '"'  "   wordexp: "'"
        else
            word += std::string("\\") + ch;
    }
    return word + '"';
}

} // namespace brivane
