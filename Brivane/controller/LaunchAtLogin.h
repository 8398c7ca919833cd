#pragma once

// Keeps the autostart entry as the settings want it and shows its state: the desktop may switch
// the entry off, so the status is read again before each refresh. Main thread only.

#include "Brivane/controller/LoginItem.h"

#include <QObject>
#include <optional>
#include <string>

namespace brivane {

class LaunchAtLogin : public QObject {
    Q_OBJECT
public:
    explicit LaunchAtLogin(LoginItem::Location location, QObject* parent = nullptr);

    LoginItemStatus status() const { return status_; }
    // Why the entry could not be written, removed, or the choice saved.
    const std::optional<std::string>& error() const { return error_; }

    void readStatus();
    // Writes or removes the entry so that it matches `wanted`.
    void reconcile(bool wanted);
    void setError(std::optional<std::string> value);

Q_SIGNALS:
    void statusChanged();
    void errorChanged();

private:
    LoginItem item_;
    LoginItemStatus status_;
    std::optional<std::string> error_;
};

} // namespace brivane
