#include "Brivane/BrivaneApp.h"

#include <cstdio>
#include <string>
#include <vector>

namespace brivane {

int BrivaneApp::main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // The command-line modes are tried in a fixed order; the first that applies decides.
    // 1. --desktop-url <screen id>
    // 2. --verify-wallpaper
    // 3. --render-previews [dir]
    // 4. --display-info
    // 5. otherwise the tray application.
    for (const auto& arg : args) {
        std::fprintf(stderr, "pellora: unknown argument '%s'\n", arg.c_str());
        return 2;
    }
    std::fprintf(stderr, "pellora: the tray application is not available in this build yet\n");
    return 1;
}

} // namespace brivane
