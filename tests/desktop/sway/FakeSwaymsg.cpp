// Stands in for swaymsg and the sway that would run its command: the command is taken apart the
// way sway does with what arrives over its socket (SwayCommandModel.h: no C escapes undone, unlike
// in its config file) and the background's file goes through wordexp(3) like sway's, command
// substitution included. Each `output … bg …` it accepts is appended to calls.log beside this
// program as
//   <output>\t<file as hex bytes>\t<mode>\t<colour>
// Like sway, a file it cannot open is only logged (to sway.log beside it), and the answer is
// success. A file "fail" beside it makes every call fail, as a sway without that output would.
#include "SwayCommandModel.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>
#include <wordexp.h>

namespace {

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
    // The variables of sway's own default config, and one of a user's.
    const swaymodel::Variables variables = {
        {"$wallpapers", "/nowhere"}, {"$right", "l"},   {"$down", "j"},   {"$left", "h"},
        {"$menu", "wofi"},           {"$term", "foot"}, {"$mod", "Mod4"}, {"$up", "k"}};
    const swaymodel::Parsed parsed = swaymodel::parse(argv[2], variables);
    std::ofstream log(folder + "calls.log", std::ios::app | std::ios::binary);
    for (const swaymodel::Background& background : parsed.backgrounds) {
        wordexp_t expanded{};
        if (wordexp(background.file.c_str(), &expanded, 0) != 0 || expanded.we_wordc == 0) {
            wordfree(&expanded);
            return fail("Invalid syntax (" + background.file + ")");
        }
        std::string file = expanded.we_wordv[0];
        for (std::size_t i = 1; i < expanded.we_wordc; ++i)
            file += std::string(" ") + expanded.we_wordv[i];
        wordfree(&expanded);
        if (access(file.c_str(), F_OK) != 0) {
            std::ofstream(folder + "sway.log", std::ios::app)
                << "Unable to access background file '" << file << "'\n";
            continue;
        }
        std::string hex;
        for (const unsigned char c : file) {
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02x", c);
            hex += digits;
        }
        log << background.output << '\t' << hex << '\t' << background.mode << '\t'
            << background.colour << '\n';
    }
    if (parsed.error)
        return fail(*parsed.error);
    return 0;
}
