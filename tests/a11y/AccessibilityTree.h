#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

namespace brivane::test {

// One object of an application's accessibility tree as a screen reader reads it over AT-SPI.
struct AccessibleNode {
    QString role; // AT-SPI's role name: "push button", "check box", …
    QString name;
    QStringList labels; // names of the objects it is labelled by
    QString path;       // the object's D-Bus path, to tell which one failed
};

// Starts the session's accessibility bus (and so its registry) the way a screen reader's login
// does; returns the bus address, or nothing when at-spi2-core is missing.
std::optional<QString> startAccessibilityBus();

// The showing objects of this process's windows, read over the accessibility bus by a separate
// connection while this thread keeps serving the requests. Empty when this process is not
// registered with the accessibility registry within the time.
std::vector<AccessibleNode> readOwnAccessibilityTree(const QString& busAddress);

// Whether a screen reader can say what the control is: its name, or a combo box's label.
bool identified(const AccessibleNode& node);

// Roles a user acts on: each needs a name a screen reader can say.
bool actionable(const QString& role);

} // namespace brivane::test
