// Stands in for swaymsg and the sway that would run its command: the command is taken apart
// the way sway's parser does (command lists, quotes, "$name" config variables, C escapes) and
// the background's file goes through wordexp(3) like sway's, command substitution included.
// Each `output … bg …` it accepts is appended to calls.log beside this program as
//   <output>\t<file as hex bytes>\t<mode>\t<colour>
// A file "fail" beside it makes every call fail, as a sway without that output would.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <strings.h>
#include <unistd.h>
#include <vector>
#include <wordexp.h>

namespace {

struct Scan {
    bool inString = false, inChar = false, escaped = false;
    // Feeds one character; true when it is outside any quote and not escaped.
    bool plain(char c) {
        bool outside = false;
        if (c == '"' && !inChar && !escaped)
            inString = !inString;
        else if (c == '\'' && !inString && !escaped)
            inChar = !inChar;
        else if (c != '\\')
            outside = !inString && !inChar && !escaped;
        escaped = c == '\\' ? !escaped : false;
        return outside;
    }
};

std::vector<std::string> separate(const std::string& text, char delimiter) {
    std::vector<std::string> parts(1);
    Scan scan;
    for (char c : text) {
        if (scan.plain(c) && c == delimiter)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> result;
    std::string word;
    Scan scan;
    for (char c : text) {
        if (scan.plain(c) && std::isspace(static_cast<unsigned char>(c))) {
            if (!word.empty())
                result.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty())
        result.push_back(word);
    return result;
}

std::string unquoted(const std::string& word) {
    std::string out;
    bool inString = false, inChar = false, escaped = false;
    for (char c : word) {
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

// The config variables of the running sway; "$" after a single backslash is left alone.
std::string variablesReplaced(std::string text) {
    const std::pair<std::string, std::string> variables[] = {{"$mod", "Mod4"},
                                                             {"$wallpapers", "/nowhere"}};
    for (std::size_t i = 0; (i = text.find('$', i)) != std::string::npos;) {
        if (i > 0 && text[i - 1] == '\\' && !(i > 1 && text[i - 2] == '\\')) {
            ++i;
            continue;
        }
        bool replaced = false;
        for (const auto& [name, value] : variables)
            if (text.compare(i, name.size(), name) == 0) {
                text.replace(i, name.size(), value);
                i += value.size();
                replaced = true;
                break;
            }
        if (!replaced)
            ++i;
    }
    return text;
}

std::string unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        switch (c) {
        case '0':
            return out;
        case 'a':
            out += '\a';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'v':
            out += '\v';
            break;
        case '\\':
            out += '\\';
            break;
        case '\'':
            out += '\'';
            break;
        case '"':
            out += '"';
            break;
        case '?':
            out += '?';
            break;
        default:
            out += '\\';
            out += c;
        }
    }
    return out;
}

int fail(const std::string& message) {
    std::printf("Error: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    const std::string self = argv[0];
    const std::string folder = self.substr(0, self.rfind('/') + 1);
    // Whatever a command substitution would create lands here, where the test looks.
    if (chdir(folder.c_str()) != 0)
        return fail("cannot enter " + folder);
    if (access((folder + "fail").c_str(), F_OK) == 0)
        return fail("unknown output");
    if (argc != 3 || std::strcmp(argv[1], "--") != 0)
        return fail("expected: swaymsg -- <command>");
    std::ofstream log(folder + "calls.log", std::ios::app | std::ios::binary);
    for (const std::string& list : separate(argv[2], ';'))
        for (const std::string& command : separate(list, ',')) {
            std::vector<std::string> args = words(command);
            if (args.empty())
                continue;
            for (std::size_t i = 1; i < args.size(); ++i) {
                if (args[i][0] == '"' || args[i][0] == '\'')
                    args[i] = unquoted(args[i]);
                args[i] = unescaped(variablesReplaced(args[i]));
            }
            if (args.size() < 4 || args[0] != "output" ||
                (args[2] != "bg" && args[2] != "background"))
                return fail("Unknown/invalid command: " + command);
            std::size_t mode = 3;
            static const char* modes[] = {"stretch", "fill", "fit",
                                          "center",  "tile", "solid_color"};
            for (; mode < args.size(); ++mode) {
                bool known = false;
                for (const char* m : modes)
                    known = known || strcasecmp(args[mode].c_str(), m) == 0;
                if (known)
                    break;
            }
            if (mode == args.size())
                return fail("Missing background scaling mode.");
            if (mode == 3)
                return fail("Missing background file");
            std::string file = args[3];
            for (std::size_t i = 4; i < mode; ++i)
                file += " " + args[i];
            for (std::size_t at; (at = file.find("  ")) != std::string::npos;)
                file.insert(at + 1, "\\");
            wordexp_t expanded{};
            if (wordexp(file.c_str(), &expanded, 0) != 0 || expanded.we_wordc == 0) {
                wordfree(&expanded);
                return fail("Invalid syntax (" + file + ")");
            }
            file = expanded.we_wordv[0];
            for (std::size_t i = 1; i < expanded.we_wordc; ++i)
                file += std::string(" ") + expanded.we_wordv[i];
            wordfree(&expanded);
            if (access(file.c_str(), F_OK) != 0)
                return fail("Unable to access background file '" + file + "'");
            std::string hex;
            for (unsigned char c : file) {
                char digits[3];
                std::snprintf(digits, sizeof digits, "%02x", c);
                hex += digits;
            }
            const std::string colour = mode + 1 < args.size() ? args[mode + 1] : "";
            log << args[1] << '\t' << hex << '\t' << args[mode] << '\t' << colour << '\n';
        }
    return 0;
}
