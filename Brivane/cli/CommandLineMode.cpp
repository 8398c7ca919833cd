#include "Brivane/cli/CommandLineMode.h"

#include "Brivane/cli/QtPlatform.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <algorithm>
#include <cstdio>
#include <memory>

namespace brivane {

namespace {

// A display that cannot be reached means what no display at all means: no screens. Missing
// platform plugins are another matter: said, and nothing (the mode ends with 1).
std::unique_ptr<QCoreApplication> screensApplication(int& argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return std::make_unique<QCoreApplication>(argc, argv);
    if (const std::string missing = missingPlatformPlugin(defaultPlatforms()); !missing.empty()) {
        std::fprintf(stderr, "%s\n", missing.c_str());
        return nullptr;
    }
    if (auto app = startOnDisplay<QGuiApplication>(argc, argv))
        return app;
    printError("the display " + std::string(displayName().constData()) +
               " cannot be reached; no screens");
    return std::make_unique<QCoreApplication>(argc, argv);
}

} // namespace

void printError(const std::string& line) {
    std::fprintf(stderr, "pellora: %s\n", line.c_str());
}

int runMode(const CommandLineMode& mode, int& argc, char** argv) {
    const ModeArguments arguments(argv + 1, argv + argc);
    std::unique_ptr<QCoreApplication> app;
    switch (mode.needs) {
    case ModeNeeds::nothing:
        break;
    case ModeNeeds::eventLoop:
        app = std::make_unique<QCoreApplication>(argc, argv);
        break;
    case ModeNeeds::screens:
        app = screensApplication(argc, argv);
        if (!app)
            return 1;
        break;
    }
    return mode.run(arguments);
}

const std::string* optionValue(const ModeArguments& arguments, const char* option) {
    const auto found = std::find(arguments.begin(), arguments.end(), option);
    if (found == arguments.end() || found + 1 == arguments.end())
        return nullptr;
    return &found[1];
}

} // namespace brivane
