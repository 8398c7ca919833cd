// Every text of the application is written where it is used, as an Italian and English pair
// (tx, AgendaLanguage::text, and the title columns of the enum tables). This reads the sources
// and checks that each pair is whole: two texts, neither of them empty.

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Argument {
    std::string code;     // the argument's source, literals blanked out
    std::string literals; // the contents of its string literals, joined
    bool hasLiteral = false;
};

// A minimal C++ reader: skips comments, keeps string and character literals whole.
class Source {
public:
    explicit Source(std::string text) : text_(std::move(text)) {}

    // The arguments of every call of `name` whose "(" follows it.
    std::vector<std::vector<Argument>> calls(const std::string& name) const {
        std::vector<std::vector<Argument>> found;
        for (std::size_t i = 0; i < text_.size();) {
            if (const std::size_t skipped = skipNonCode(i); skipped != i) {
                i = skipped;
                continue;
            }
            if (text_.compare(i, name.size(), name) == 0 && (i == 0 || !isWord(text_[i - 1]))) {
                std::size_t open = i + name.size();
                while (open < text_.size() && std::isspace(static_cast<unsigned char>(text_[open])))
                    ++open;
                if (open < text_.size() && text_[open] == '(') {
                    found.push_back(arguments(open + 1));
                    i = open + 1;
                    continue;
                }
            }
            ++i;
        }
        return found;
    }

private:
    static bool isWord(char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':';
    }

    // The end of a comment or literal starting at i; i itself when there is none.
    std::size_t skipNonCode(std::size_t i) const {
        if (text_.compare(i, 2, "//") == 0)
            return std::min(text_.find('\n', i), text_.size());
        if (text_.compare(i, 2, "/*") == 0)
            return std::min(text_.find("*/", i + 2) + 2, text_.size());
        if (text_[i] == '"' || text_[i] == '\'')
            return literalEnd(i, nullptr);
        return i;
    }

    // The end of the literal at i (after an R prefix for raw strings); its contents to `into`.
    std::size_t literalEnd(std::size_t i, std::string* into) const {
        const char quote = text_[i];
        if (quote == '\'' && i > 0 && std::isalnum(static_cast<unsigned char>(text_[i - 1])))
            return i + 1; // a digit separator
        if (quote == '"' && i > 0 && text_[i - 1] == 'R') {
            const std::size_t paren = text_.find('(', i);
            const std::string close = ")" + text_.substr(i + 1, paren - i - 1) + "\"";
            const std::size_t end = text_.find(close, paren);
            if (into)
                *into += text_.substr(paren + 1, end - paren - 1);
            return end + close.size();
        }
        std::size_t j = i + 1;
        for (; j < text_.size() && text_[j] != quote; ++j) {
            if (text_[j] == '\\')
                ++j;
        }
        if (into && quote == '"')
            *into += text_.substr(i + 1, j - i - 1);
        return j + 1;
    }

    std::vector<Argument> arguments(std::size_t i) const {
        std::vector<Argument> list(1);
        int depth = 0;
        while (i < text_.size()) {
            const char c = text_[i];
            if (c == '"' || c == '\'') {
                const std::size_t end = literalEnd(i, &list.back().literals);
                list.back().hasLiteral = list.back().hasLiteral || c == '"';
                list.back().code += ' ';
                i = end;
                continue;
            }
            if (const std::size_t skipped = skipNonCode(i); skipped != i) {
                i = skipped;
                continue;
            }
            if (c == '(' || c == '[' || c == '{')
                ++depth;
            if (c == ')' || c == ']' || c == '}') {
                if (depth == 0)
                    break;
                --depth;
            }
            if (c == ',' && depth == 0)
                list.emplace_back();
            else
                list.back().code += c;
            ++i;
        }
        return list;
    }

    std::string text_;
};

std::string blank(std::string code) {
    code.erase(std::remove_if(code.begin(), code.end(),
                              [](char c) { return std::isspace(static_cast<unsigned char>(c)); }),
               code.end());
    return code;
}

std::vector<fs::path> sources() {
    std::vector<fs::path> files;
    for (const char* folder : {"Brivane", "BrivaneCore"}) {
        for (const auto& entry :
             fs::recursive_directory_iterator(fs::path(PELLORA_SOURCE_DIR) / folder)) {
            const auto extension = entry.path().extension();
            if (entry.is_regular_file() && (extension == ".cpp" || extension == ".h"))
                files.push_back(entry.path());
        }
    }
    return files;
}

std::string contents(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

TEST(TextPairs, EveryTextHasBothLanguagesAndNoneIsEmpty) {
    int pairs = 0;
    int enumRows = 0;
    // {Enum::value, "raw", "italian", "english"}: one row of an enum table.
    const std::regex row(
        R"re(\{\s*\w+::\w+,\s*"([^"]*)",\s*((?:"(?:[^"\\]|\\.)*"\s*)+),\s*((?:"(?:[^"\\]|\\.)*"\s*)+)\})re");
    for (const fs::path& file : sources()) {
        const std::string text = contents(file);
        const Source source(text);
        for (const char* name : {"tx", "AgendaLanguage::text"}) {
            for (const auto& call : source.calls(name)) {
                // Declarations and forwarders pass their own parameters: no literal to check.
                if (std::none_of(call.begin(), call.end(),
                                 [](const Argument& a) { return a.hasLiteral; }))
                    continue;
                const std::string where = file.filename().string() + ": " + name + "(" +
                                          call.front().literals.substr(0, 60) + "…)";
                ++pairs;
                ASSERT_EQ(call.size(), 2u) << where;
                for (const Argument& argument : call) {
                    // A text that is nothing but literals must say something.
                    const bool onlyLiterals = blank(argument.code).empty();
                    EXPECT_FALSE(onlyLiterals && argument.literals.empty()) << where;
                    EXPECT_FALSE(!argument.hasLiteral && blank(argument.code).empty()) << where;
                }
            }
        }
        if (text.find("EnumNames<") == std::string::npos)
            continue;
        std::set<std::string> raws;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), row);
             it != std::sregex_iterator(); ++it) {
            const std::string where = file.filename().string() + ": " + (*it)[1].str();
            ++enumRows;
            EXPECT_FALSE((*it)[1].str().empty()) << where;
            EXPECT_TRUE(raws.insert((*it)[1].str()).second) << where << " named twice";
            EXPECT_NE(blank((*it)[2].str()), "\"\"") << where;
            EXPECT_NE(blank((*it)[3].str()), "\"\"") << where;
        }
    }
    // The reader itself must have found the application's texts.
    EXPECT_GT(pairs, 250);
    EXPECT_EQ(enumRows, 12);
}

} // namespace
