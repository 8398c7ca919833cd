// Builds the `output … bg` command for any path and takes it apart the way sway 1.7 does with
// a command from its socket (tests/desktop/sway/SwayCommandModel.h), then expands the file
// with wordexp(3) as sway does, command substitution refused: there must be exactly one
// background, for the right output, whose file is the path, byte for byte. A path with a line
// feed is refused (sway's socket turns it into ";").
#include "Brivane/desktop/SwayCommandText.h"
#include "SwayCommandModel.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <wordexp.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Only absolute paths are ever sent (a relative one could read as a scaling mode, "fill").
    const std::string path = "/" + std::string(reinterpret_cast<const char*>(data), size);
    if (path.find('\0') != std::string::npos)
        return 0; // no such path
    // sway's default variables, plus ones a path may well contain.
    static const swaymodel::Variables variables = {
        {"$wallpapers", "/w"}, {"$right", "l"}, {"$down", "j"}, {"$left", "h"}, {"$menu", "m"},
        {"$term", "t"},        {"$HOME", "/h"}, {"$mod", "M"},  {"$up", "k"},   {"$x", "y"}};
    const std::optional<std::string> word = brivane::swayQuotedPath(path);
    if (!word) {
        if (path.find('\n') == std::string::npos)
            std::abort(); // only a line feed cannot travel
        return 0;
    }
    const std::string command = "output \"HDMI-A-1\" bg " + *word + " stretch #f2f2f2";
    const swaymodel::Parsed parsed = swaymodel::parse(command, variables);
    if (parsed.error || parsed.backgrounds.size() != 1)
        std::abort();
    const swaymodel::Background& background = parsed.backgrounds.front();
    if (background.output != "HDMI-A-1" || background.mode != "stretch" ||
        background.colour != "#f2f2f2")
        std::abort();
    wordexp_t expanded{};
    if (wordexp(background.file.c_str(), &expanded, WRDE_NOCMD | WRDE_UNDEF) != 0 ||
        expanded.we_wordc != 1 || path != expanded.we_wordv[0])
        std::abort();
    wordfree(&expanded);
    return 0;
}
