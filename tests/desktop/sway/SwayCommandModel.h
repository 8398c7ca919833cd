#pragma once
// How sway 1.7 takes apart a command that arrives over its socket, step by step as its source
// does it (sway/commands.c execute_command, common/stringop.c argsep, split_args, strip_quotes,
// sway/config.c do_var_replacement, sway/commands/output/background.c, expand_path): the
// commands of a list, their words, and for `output … bg` the text handed to wordexp(3).
// Shared by the stand-in swaymsg of the tests and the fuzzer of the command text.
#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

namespace swaymodel {

// sway's config variables, longest name first as sway sorts them.
using Variables = std::vector<std::pair<std::string, std::string>>;

// argsep(&head, ";,"): the commands of a list. Like sway, an escape stays pending across an
// escaped quote or separator until a byte it does not look at comes.
inline std::vector<std::string> commands(const std::string& text) {
    std::vector<std::string> result;
    std::string buffer = text;
    std::size_t head = 0;
    bool more = true;
    while (more) {
        while (head < buffer.size() && std::isspace(static_cast<unsigned char>(buffer[head])))
            ++head;
        std::size_t start = head, end = head;
        bool inString = false, inChar = false, escaped = false, split = false;
        for (;;) {
            const std::size_t interesting = buffer.find_first_of("\"'\\;,", end);
            if (interesting == std::string::npos)
                break;
            if (escaped && interesting != end)
                escaped = false;
            const char c = buffer[interesting];
            if (c == '"' && !inChar && !escaped) {
                inString = !inString;
                end = interesting + 1;
            } else if (c == '\'' && !inString && !escaped) {
                inChar = !inChar;
                end = interesting + 1;
            } else if (c == '\\') {
                escaped = !escaped;
                end = interesting + 1;
            } else if ((c == ';' || c == ',') && !inString && !inChar && !escaped) {
                end = interesting;
                if (end - start) {
                    split = true;
                    break;
                }
                end = ++start;
            } else {
                ++end;
            }
        }
        if (split) {
            result.push_back(buffer.substr(start, end - start));
            head = end + 1;
        } else {
            result.push_back(buffer.substr(start));
            more = false;
        }
    }
    return result;
}

// split_args: the words of one command.
inline std::vector<std::string> words(const std::string& text) {
    static const char whitespace[] = " \f\n\r\t\v";
    std::vector<std::string> argv;
    const char* start = text.c_str();
    const char* end = start;
    bool inToken = false, inString = false, inChar = false, inBrackets = false, escaped = false;
    while (*start) {
        if (!inToken) {
            start = (end += std::strspn(end, whitespace));
            inToken = true;
        }
        if (*end == '"' && !inChar && !escaped) {
            inString = !inString;
        } else if (*end == '\'' && !inString && !escaped) {
            inChar = !inChar;
        } else if (*end == '[' && !inString && !inChar && !inBrackets && !escaped) {
            inBrackets = true;
        } else if (*end == ']' && !inString && !inChar && inBrackets && !escaped) {
            inBrackets = false;
        } else if (*end == '\\') {
            escaped = !escaped;
        } else if (*end == '\0' || (!inString && !inChar && !inBrackets && !escaped &&
                                    std::strchr(whitespace, *end))) {
            if (end - start > 0)
                argv.emplace_back(start, end);
            inToken = false;
            escaped = false;
            continue;
        }
        if (*end != '\\')
            escaped = false;
        ++end;
    }
    return argv;
}

// strip_quotes: unescaped quotes go, backslashes stay.
inline std::string unquoted(const std::string& word) {
    std::string out;
    bool inString = false, inChar = false, escaped = false;
    for (const char c : word) {
        if (c == '\'' && !inString && !escaped) {
            inChar = !inChar;
            continue;
        }
        if (c == '"' && !inChar && !escaped) {
            inString = !inString;
            continue;
        }
        escaped = c == '\\' ? !escaped : false;
        out += c;
    }
    return out;
}

// do_var_replacement.
inline std::string variablesReplaced(std::string text, const Variables& variables) {
    std::size_t find = 0;
    while ((find = text.find('$', find)) != std::string::npos) {
        if (find > 0 && text[find - 1] == '\\' && (find == 1 || text[find - 2] != '\\')) {
            ++find;
            continue;
        }
        if (find + 1 < text.size() && text[find + 1] == '$') {
            text.erase(find, 1);
            ++find;
            continue;
        }
        bool replaced = false;
        for (const auto& [name, value] : variables)
            if (text.compare(find, name.size(), name) == 0) {
                text.replace(find, name.size(), value);
                find += value.size();
                replaced = true;
                break;
            }
        if (!replaced)
            ++find;
    }
    return text;
}

// One `output <name> bg <file> <mode> [<colour>]` as sway's handler reads it.
struct Background {
    std::string output, file, mode, colour; // file: the text wordexp(3) gets
};

// The commands of a list as sway runs them: each `output … bg …` in order, or sway's error.
struct Parsed {
    std::vector<Background> backgrounds;
    std::optional<std::string> error;
};

// What sway's socket does to a command first (ipc-server.c): strtok at line feeds, and the line
// feed that ends each piece becomes ";" (of a run of them, only the first).
inline std::string fromSocket(std::string text) {
    std::size_t at = text.find_first_not_of('\n');
    while (at != std::string::npos) {
        const std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            break;
        text[end] = ';';
        at = text.find_first_not_of('\n', end + 1);
    }
    return text;
}

inline Parsed parse(const std::string& socketText, const Variables& variables) {
    Parsed parsed;
    const std::string text = fromSocket(socketText);
    for (const std::string& raw : commands(text)) {
        std::size_t skip = 0;
        while (skip < raw.size() && std::isspace(static_cast<unsigned char>(raw[skip])))
            ++skip;
        const std::string command = raw.substr(skip);
        if (command.empty())
            continue;
        std::vector<std::string> argv = words(command);
        if (argv[0] != "output") {
            parsed.error = "Unknown/invalid command '" + argv[0] + "'";
            return parsed;
        }
        for (std::size_t i = 1; i < argv.size(); ++i) {
            if (argv[i][0] == '"' || argv[i][0] == '\'')
                argv[i] = unquoted(argv[i]);
            argv[i] = variablesReplaced(argv[i], variables);
        }
        if (argv.size() < 3 || (argv[2] != "bg" && argv[2] != "background")) {
            parsed.error = "Invalid output subcommand";
            return parsed;
        }
        static const char* modes[] = {"stretch", "center", "fill", "fit", "tile"};
        std::size_t mode = 3;
        for (bool known = false; mode < argv.size() && !known;) {
            for (const char* m : modes)
                known = known || strcasecmp(argv[mode].c_str(), m) == 0;
            if (!known)
                ++mode;
        }
        if (mode == argv.size()) {
            parsed.error = "Missing background scaling mode.";
            return parsed;
        }
        if (mode == 3) {
            parsed.error = "Missing background file";
            return parsed;
        }
        Background b{argv[1], argv[3], argv[mode], {}};
        for (std::size_t i = 4; i < mode; ++i) // join_args
            b.file += " " + argv[i];
        for (std::size_t at; (at = b.file.find("  ")) != std::string::npos;) // expand_path
            b.file.insert(at + 1, "\\");
        if (mode + 1 < argv.size() && argv[mode + 1][0] == '#') {
            const std::string& colour = argv[mode + 1];
            if (colour.size() != 7 ||
                colour.find_first_not_of("0123456789abcdefABCDEF", 1) != std::string::npos) {
                parsed.error = "fallback color should be of the form #RRGGBB";
                return parsed;
            }
            b.colour = colour;
        }
        parsed.backgrounds.push_back(b);
    }
    return parsed;
}

} // namespace swaymodel
