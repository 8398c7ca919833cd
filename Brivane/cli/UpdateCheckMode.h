#pragma once

#include "Brivane/cli/CommandLineMode.h"

#include <string>

namespace brivane {

class UpdateManager;

// `pellora --check-updates`: one manual check of the release feed. Prints the status line (and
// the download link of a newer release); exit status 0 when up to date or a release is
// available, 1 when the check failed or this build has no update server.
struct UpdateCheckMode {
    static int run(const ModeArguments& arguments);
    // Runs the check on `updater` inside the current event loop and returns the exit status;
    // `out` receives what is printed to standard output, `err` what goes to standard error.
    static int check(UpdateManager& updater, std::string& out, std::string& err);
};

} // namespace brivane
