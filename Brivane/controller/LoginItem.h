#pragma once

// Launch at login as an XDG autostart entry:
// $XDG_CONFIG_HOME/autostart/it.quillmere.Brivane.desktop, the installed .desktop entry with Exec
// pointing at the running program.

#include <QString>
#include <stdexcept>

namespace brivane {

enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

// Registering or unregistering failed; the message is for the user.
class LoginItemError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class LoginItem {
public:
    struct Location {
        QString entryPath;   // the autostart entry
        QString sourceEntry; // the installed entry to copy; empty: none was found
        QString program;     // absolute path of the running program
    };

    // The entry of this user and the program that is running now.
    static Location current();

    explicit LoginItem(Location location = current()) : location_(std::move(location)) {}

    // enabled: the entry exists and is not Hidden=true; requiresApproval: the entry exists but
    // the user switched it off in the desktop (Hidden=true, X-GNOME-Autostart-enabled=false);
    // notRegistered: no entry and the program can describe itself; notFound: nothing to copy.
    LoginItemStatus status() const;
    // Writes the entry atomically; throws LoginItemError.
    void registerItem();
    // Removes the entry; throws LoginItemError.
    void unregisterItem();

    const Location& location() const { return location_; }

    // The entry text for `program`: the source entry with its Exec (and TryExec) lines pointing
    // at the program, quoted as desktop entries require, and without Hidden.
    static QString entryText(const QString& sourceText, const QString& program);
    // One argument quoted for an Exec line.
    static QString quoteExecArgument(const QString& argument);

private:
    Location location_;
};

} // namespace brivane
