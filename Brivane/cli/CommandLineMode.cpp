#include "Brivane/cli/CommandLineMode.h"

#include "Brivane/cli/QtPlatform.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <algorithm>
#include <cstdio>
#include <memory>

namespace brivane {

namespace {

// Qt aborts when the display it is pointed at cannot be reached (DISPLAY set, server gone).
// With "offscreen" as its last fallback it carries on instead, and landing there means what no
// display at all means: no screens. Missing platform plugins are another matter: said, and
// nothing (the mode ends with 1).
std::unique_ptr<QCoreApplication> screensApplication(int& argc, char** argv) {
    const QByteArray chosen = qgetenv("QT_QPA_PLATFORM");
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        chosen.isEmpty())
        return std::make_unique<QCoreApplication>(argc, argv);
    const QByteArray platforms = defaultPlatforms();
    if (const std::string missing = missingPlatformPlugin(platforms); !missing.empty()) {
        std::fprintf(stderr, "%s\n", missing.c_str());
        return nullptr;
    }
    const bool offscreenWanted = platforms.contains("offscreen");
    if (!offscreenWanted) {
        qputenv("QT_QPA_PLATFORM", platforms + ";offscreen");
        // Qt's own lines about the failed platform would read like a crash; one line below says it.
        QLoggingCategory::setFilterRules(QStringLiteral("qt.qpa.*.warning=false"));
    }
    auto app = std::make_unique<QGuiApplication>(argc, argv);
    QLoggingCategory::setFilterRules(QString());
    // Child processes choose for themselves, as this one was asked to.
    if (chosen.isEmpty())
        qunsetenv("QT_QPA_PLATFORM");
    else
        qputenv("QT_QPA_PLATFORM", chosen);
    if (offscreenWanted || QGuiApplication::platformName() != QLatin1String("offscreen"))
        return app;
    app.reset();
    std::fprintf(stderr, "pellora: the display %s cannot be reached; no screens\n",
                 qgetenv(qEnvironmentVariableIsEmpty("DISPLAY") ? "WAYLAND_DISPLAY" : "DISPLAY")
                     .constData());
    return std::make_unique<QCoreApplication>(argc, argv);
}

} // namespace

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
