#include "Brivane/desktop/DisplayStart.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QMutex>
#include <cstdio>
#include <vector>

namespace brivane {

namespace {

// What Qt says while the application object is made: shown once the display is reached; with
// no display, the caller's one line says it all.
// Copies: a platform plugin that failed may be gone when they are shown.
struct HeldMessage {
    QtMsgType type;
    QByteArray file;
    int line;
    QByteArray function;
    QByteArray category;
    QString text;
};
QMutex heldLock;
std::vector<HeldMessage> held;

void holdMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtFatalMsg) { // Qt ends the process next: it must be seen
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
        return;
    }
    const QMutexLocker locker(&heldLock);
    held.push_back({type, context.file, context.line, context.function, context.category, text});
}

} // namespace

QByteArray defaultPlatforms() {
    if (const QByteArray chosen = qgetenv("QT_QPA_PLATFORM"); !chosen.isEmpty())
        return chosen;
    const QByteArray session = qgetenv("XDG_SESSION_TYPE").toLower();
    const QByteArray desktops =
        (qgetenv("XDG_CURRENT_DESKTOP") + ':' + qgetenv("XDG_SESSION_DESKTOP")).toLower();
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return "wayland";
    if (session == "wayland" && !desktops.contains("gnome"))
        return "wayland;xcb";
    return "xcb";
}

OffscreenFallback::OffscreenFallback() : chosen_(qgetenv("QT_QPA_PLATFORM")) {
    const QByteArray platforms = defaultPlatforms();
    offscreenWanted_ = platforms.contains("offscreen");
    if (offscreenWanted_)
        return;
    qputenv("QT_QPA_PLATFORM", platforms + ";offscreen");
    // Qt's own lines about the failed platform would read like a crash; the caller says it.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.qpa.*.warning=false"));
    previousHandler_ = qInstallMessageHandler(holdMessage);
}

OffscreenFallback::~OffscreenFallback() {
    if (offscreenWanted_)
        return;
    qInstallMessageHandler(previousHandler_);
    std::vector<HeldMessage> messages;
    {
        const QMutexLocker locker(&heldLock);
        messages.swap(held);
    }
    if (reached_)
        for (const HeldMessage& m : messages)
            qt_message_output(
                m.type,
                QMessageLogContext(m.file.isNull() ? nullptr : m.file.constData(), m.line,
                                   m.function.isNull() ? nullptr : m.function.constData(),
                                   m.category.constData()),
                m.text);
    QLoggingCategory::setFilterRules(QString());
    if (chosen_.isEmpty())
        qunsetenv("QT_QPA_PLATFORM");
    else
        qputenv("QT_QPA_PLATFORM", chosen_);
}

bool OffscreenFallback::reached() const {
    reached_ = offscreenWanted_ || QGuiApplication::platformName() != QLatin1String("offscreen");
    return reached_;
}

QByteArray displayName() {
    if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        return qgetenv("DISPLAY");
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return qgetenv("WAYLAND_DISPLAY");
    return "wayland-0"; // where Wayland clients look when nothing is named
}

} // namespace brivane
