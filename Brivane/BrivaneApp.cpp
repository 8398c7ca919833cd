#include "Brivane/BrivaneApp.h"

#include "Brivane/AppIdentity.h"
#include "Brivane/cli/AgendaMode.h"
#include "Brivane/cli/CloudAccountsMode.h"
#include "Brivane/cli/CommandLineMode.h"
#include "Brivane/cli/PreviewMode.h"
#include "Brivane/cli/QtPlatform.h"
#include "Brivane/cli/SourcesMode.h"
#include "Brivane/cli/SubscriptionsMode.h"
#include "Brivane/cli/UpdateCheckMode.h"
#include "Brivane/cli/VerificationMode.h"
#include "Brivane/ui/AppDelegate.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace brivane {

namespace {

bool contains(const std::vector<std::string>& args, const char* option) {
    return std::find(args.begin(), args.end(), option) != args.end();
}

void printUsage() {
    std::printf("Usage: pellora [OPTION]\n"
                "Draws your day's calendar and tasks as the desktop wallpaper.\n"
                "Without options, starts in the system tray.\n"
                "\n"
                "  --render-previews [DIR]  render the sample wallpapers into DIR "
                "(default: previews)\n"
                "  --verify-wallpaper       apply a sample wallpaper, check it and restore yours\n"
                "  --display-info           describe the connected screens as JSON\n"
                "  --desktop-url ID         print the wallpaper of the screen with that id\n"
                "  --sources                list the local calendars and task lists read\n"
                "  --agenda [--json] [--date YYYY-MM-DD] [--all]\n"
                "                           print the agenda the wallpaper is drawn from\n"
                "  --connect google|microsoft\n"
                "                           connect a cloud calendar account in the browser\n"
                "  --accounts               list the connected accounts: provider, e-mail, id\n"
                "  --disconnect ID          forget the account with that id\n"
                "  --subscribe URL [--name NAME]\n"
                "                           add the calendar at a webcal:// or https:// address\n"
                "  --subscriptions          list the calendars by address: id, name, host\n"
                "  --unsubscribe ID         forget the calendar by address with that id\n"
                "  --check-updates          check the release feed for a newer version\n"
                "  --help                   show this help and exit\n"
                "  --version                show the version and exit\n");
}

// Qt's own options (QGuiApplication, QApplication and the xcb platform), which the toolkit takes
// off the command line itself: a session manager restores the program with "-session ID".
// Those listed first take a value, as the next argument or after "=".
bool isQtOption(std::string option, bool& takesValue) {
    static const std::vector<std::string> withValue = {"-platform",      "-platformpluginpath",
                                                       "-platformtheme", "-plugin",
                                                       "-qmljsdebugger", "-qwindowgeometry",
                                                       "-qwindowicon",   "-qwindowtitle",
                                                       "-session",       "-display",
                                                       "-geometry",      "-style",
                                                       "-stylesheet",    "-name",
                                                       "-title",         "-visual"};
    static const std::vector<std::string> alone = {"-reverse", "-widgetcount", "-nograb",
                                                   "-dograb",  "-sync",        "-testability"};
    // Qt reads "--platform" as "-platform".
    if (option.rfind("--", 0) == 0)
        option.erase(0, 1);
    const auto equals = option.find('=');
    const std::string name = option.substr(0, equals);
    if (std::find(withValue.begin(), withValue.end(), name) != withValue.end()) {
        takesValue = equals == std::string::npos;
        return true;
    }
    takesValue = false;
    return equals == std::string::npos &&
           std::find(alone.begin(), alone.end(), name) != alone.end();
}

// The first argument that is neither ours nor Qt's, if any.
const std::string* firstForeignArgument(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        bool takesValue = false;
        if (!isQtOption(args[i], takesValue))
            return &args[i];
        if (takesValue)
            ++i;
    }
    return nullptr;
}

int unknownArgument(const std::string& argument) {
    std::fprintf(stderr, "pellora: unknown argument '%s'\nTry 'pellora --help'.\n",
                 argument.c_str());
    return 2;
}

// The command-line modes are tried in a fixed order; the first that applies decides.
const CommandLineMode* chooseMode(const std::vector<std::string>& args) {
    static constexpr CommandLineMode desktopURL{ModeNeeds::screens, VerificationMode::desktopURL};
    static constexpr CommandLineMode verifyWallpaper{ModeNeeds::screens,
                                                     VerificationMode::verifyWallpaper};
    static constexpr CommandLineMode previews{ModeNeeds::nothing, PreviewMode::run};
    static constexpr CommandLineMode displayInfo{ModeNeeds::screens, VerificationMode::displayInfo};
    static constexpr CommandLineMode agenda{ModeNeeds::eventLoop, AgendaMode::run};
    static constexpr CommandLineMode sources{ModeNeeds::eventLoop, SourcesMode::run};
    static constexpr CommandLineMode connect{ModeNeeds::eventLoop, CloudAccountsMode::connect};
    static constexpr CommandLineMode accounts{ModeNeeds::eventLoop,
                                              CloudAccountsMode::listAccounts};
    static constexpr CommandLineMode disconnect{ModeNeeds::eventLoop,
                                                CloudAccountsMode::disconnect};
    static constexpr CommandLineMode redirect{ModeNeeds::eventLoop,
                                              CloudAccountsMode::forwardRedirect};
    static constexpr CommandLineMode checkUpdates{ModeNeeds::eventLoop, UpdateCheckMode::run};
    static constexpr CommandLineMode subscribe{ModeNeeds::eventLoop, SubscriptionsMode::subscribe};
    static constexpr CommandLineMode subscriptions{ModeNeeds::eventLoop, SubscriptionsMode::list};
    static constexpr CommandLineMode unsubscribe{ModeNeeds::eventLoop,
                                                 SubscriptionsMode::unsubscribe};

    // --desktop-url as the last argument does not apply and the next rules are tried.
    if (optionValue(args, "--desktop-url"))
        return &desktopURL;
    if (contains(args, "--verify-wallpaper"))
        return &verifyWallpaper;
    if (contains(args, "--render-previews"))
        return &previews;
    if (contains(args, "--display-info"))
        return &displayInfo;
    if (contains(args, "--agenda"))
        return &agenda;
    if (contains(args, "--sources"))
        return &sources;
    if (contains(args, "--connect"))
        return &connect;
    if (contains(args, "--accounts"))
        return &accounts;
    if (contains(args, "--disconnect"))
        return &disconnect;
    if (contains(args, "--subscribe"))
        return &subscribe;
    if (contains(args, "--subscriptions"))
        return &subscriptions;
    if (contains(args, "--unsubscribe"))
        return &unsubscribe;
    // The desktop starts "pellora <url>" for the sign-in redirect: hand it to the running one.
    if (args.size() == 1 && CloudAccountsMode::isRedirectURL(args.front()))
        return &redirect;
    if (contains(args, "--check-updates"))
        return &checkUpdates;
    return nullptr;
}

} // namespace

int BrivaneApp::main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);

    if (contains(args, "--help") || contains(args, "-h")) {
        printUsage();
        return 0;
    }
    if (contains(args, "--version")) {
        std::printf("%s %s\n", AppIdentity::name().c_str(), AppIdentity::version().c_str());
        return 0;
    }

    if (const CommandLineMode* mode = chooseMode(args))
        return runMode(*mode, argc, argv);

    // Else the tray application; Qt would abort without a plugin for the display it is to use.
    if (const std::string* foreign = firstForeignArgument(args))
        return unknownArgument(*foreign);
    if (!qEnvironmentVariableIsEmpty("DISPLAY") ||
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
        !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        if (const std::string missing = missingPlatformPlugin(defaultPlatforms());
            !missing.empty()) {
            std::fprintf(stderr, "%s\n", missing.c_str());
            return 1;
        }
    return ui::AppDelegate::run(argc, argv);
}

} // namespace brivane
