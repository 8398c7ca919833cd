#pragma once

#include "Brivane/cli/CommandLineMode.h"

#include <string>

namespace brivane {

// Terminal commands for the cloud accounts, for people without a tray and for scripts. Each
// returns the process exit status (0 success, 1 failure) and prints in the user's language.
struct CloudAccountsMode {
    // --connect google|microsoft: opens the sign-in in the browser, prints the address it
    // opened, waits for the result. For Microsoft it is the running instance that receives the
    // redirect.
    static int connect(const ModeArguments& arguments);
    // --accounts: one line per account: provider, e-mail and id, separated by tabs.
    static int listAccounts(const ModeArguments& arguments);
    // --disconnect ID
    static int disconnect(const ModeArguments& arguments);

    // True for an argument the desktop passes for our redirect scheme.
    static bool isRedirectURL(const std::string& argument);
    // pellora <redirect URL>, the only argument: hands the URL to the running instance.
    static int forwardRedirect(const ModeArguments& arguments);
};

} // namespace brivane
