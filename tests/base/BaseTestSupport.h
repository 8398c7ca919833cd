#pragma once

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <functional>
#include <map>
#include <optional>

namespace brivane::test {

// Fresh HOME, XDG_CONFIG_HOME and XDG_RUNTIME_DIR (0700) for one test, in a folder whose path
// holds a quote and a "$". The previous values come back afterwards.
class PrivateFolders {
public:
    PrivateFolders();
    ~PrivateFolders();
    PrivateFolders(const PrivateFolders&) = delete;
    PrivateFolders& operator=(const PrivateFolders&) = delete;

    QString configHome() const { return dir_.path() + "/config"; }
    QString runtime() const { return dir_.path() + "/run"; }

private:
    QTemporaryDir dir_;
    std::map<QByteArray, std::optional<QByteArray>> saved_;
};

// Serves this thread's events until `done()` holds; false when `limit` passed first.
bool serveUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

// Runs pellora with these arguments and this process's environment while this thread's events
// are served. The exit code is -1 when it crashed or did not end within 20 seconds.
struct PelloraRun {
    int exitCode = -1;
    QString out;
    QString err;
};
PelloraRun runPellora(const QStringList& arguments);

// Set in the environment of the simultaneous starts of the single-instance test: this
// executable is then one start, which waits for "go" on its input, tries to become the
// instance, prints how it went and, when it is the instance, stays until its input closes.
inline constexpr const char* instanceChild = "PELLORA_SINGLE_INSTANCE_CHILD";
int runInstanceChild();

} // namespace brivane::test
