#include "AccessibilityTree.h"

#include "ControllerTestSupport.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <memory>
#include <unistd.h>

namespace brivane::test {
namespace {

const QString accessibleInterface = QStringLiteral("org.a11y.atspi.Accessible");
const QString rootPath = QStringLiteral("/org/a11y/atspi/accessible/root");
// AtspiStateType: the object and all its ancestors are shown.
constexpr uint stateShowing = 25;

struct Reference {
    QString service;
    QString path;
};

QDBusMessage callOn(QDBusConnection& bus, const Reference& object, const QString& interface,
                    const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(object.service, object.path, interface, method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::Block, 5000);
}

// An array of AT-SPI object references, a(so).
std::vector<Reference> references(const QDBusArgument& argument) {
    std::vector<Reference> result;
    argument.beginArray();
    while (!argument.atEnd()) {
        Reference reference;
        QDBusObjectPath path;
        argument.beginStructure();
        argument >> reference.service >> path;
        argument.endStructure();
        reference.path = path.path();
        result.push_back(reference);
    }
    argument.endArray();
    return result;
}

std::vector<Reference> children(QDBusConnection& bus, const Reference& object) {
    const std::vector<Reference> none;
    const QDBusMessage reply =
        callOn(bus, object, accessibleInterface, QStringLiteral("GetChildren"));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return none;
    return references(reply.arguments().first().value<QDBusArgument>());
}

bool showing(QDBusConnection& bus, const Reference& object) {
    const QDBusMessage reply = callOn(bus, object, accessibleInterface, QStringLiteral("GetState"));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    const auto words = qdbus_cast<QList<uint>>(reply.arguments().first());
    return !words.isEmpty() && (words.first() & (1u << stateShowing)) != 0;
}

QString stringReply(const QDBusMessage& reply);

QString name(QDBusConnection& bus, const Reference& object) {
    return stringReply(callOn(bus, object, QStringLiteral("org.freedesktop.DBus.Properties"),
                              QStringLiteral("Get"),
                              {accessibleInterface, QStringLiteral("Name")}));
}

QString stringReply(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    const QVariant value = reply.arguments().first();
    if (value.canConvert<QDBusVariant>())
        return value.value<QDBusVariant>().variant().toString();
    return value.toString();
}

// The names of the objects `object` is labelled by (AtspiRelationType 2, "labelled by").
QStringList labels(QDBusConnection& bus, const Reference& object) {
    QStringList result;
    const QDBusMessage reply =
        callOn(bus, object, accessibleInterface, QStringLiteral("GetRelationSet"));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return result;
    std::vector<Reference> targets;
    const auto argument = reply.arguments().first().value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        uint type = 0;
        argument.beginStructure();
        argument >> type;
        const std::vector<Reference> related = references(argument);
        if (type == 2)
            targets.insert(targets.end(), related.begin(), related.end());
        argument.endStructure();
    }
    argument.endArray();
    for (const Reference& target : targets)
        result << name(bus, target);
    return result;
}

void walk(QDBusConnection& bus, const Reference& object, std::vector<AccessibleNode>& nodes,
          int depth) {
    // Qt's tree is shallow; the bound only guards against a cycle.
    if (depth > 40)
        return;
    for (const Reference& child : children(bus, object)) {
        if (!showing(bus, child))
            continue;
        AccessibleNode node;
        node.path = child.path;
        node.role =
            stringReply(callOn(bus, child, accessibleInterface, QStringLiteral("GetRoleName")));
        node.name = name(bus, child);
        node.labels = labels(bus, child);
        nodes.push_back(node);
        walk(bus, child, nodes, depth + 1);
    }
}

// This process's entry among the registry's applications.
std::optional<Reference> ownApplication(QDBusConnection& bus) {
    const Reference registry{QStringLiteral("org.a11y.atspi.Registry"), rootPath};
    for (const Reference& application : children(bus, registry)) {
        const QDBusReply<uint> pid = bus.interface()->servicePid(application.service);
        if (pid.isValid() && pid.value() == uint(::getpid()))
            return application;
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> startAccessibilityBus() {
    QDBusConnection session = QDBusConnection::sessionBus();
    if (!session.isConnected())
        return std::nullopt;
    // Activates at-spi-bus-launcher, which registers org.a11y.Bus; Qt's bridge watches for it.
    const QDBusMessage reply =
        session.call(QDBusMessage::createMethodCall(
                         QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                         QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress")),
                     QDBus::Block, 10000);
    const QString address = stringReply(reply);
    if (address.isEmpty())
        return std::nullopt;
    return address;
}

std::vector<AccessibleNode> readOwnAccessibilityTree(const QString& busAddress) {
    auto nodes = std::make_shared<std::vector<AccessibleNode>>();
    std::atomic<bool> done = false;
    // The bridge answers on this thread: the reader blocks on its own one.
    std::unique_ptr<QThread> reader(QThread::create([busAddress, nodes, &done] {
        const QString name = QStringLiteral("pellora-accessibility-reader");
        {
            QDBusConnection bus = QDBusConnection::connectToBus(busAddress, name);
            for (int attempt = 0; attempt < 100 && bus.isConnected(); ++attempt) {
                if (const auto application = ownApplication(bus)) {
                    walk(bus, *application, *nodes, 0);
                    break;
                }
                QThread::msleep(50);
            }
        }
        QDBusConnection::disconnectFromBus(name);
        done = true;
    }));
    reader->start();
    waitUntil([&] { return done.load(); }, 120000);
    reader->wait();
    return *nodes;
}

bool identified(const AccessibleNode& node) {
    // On Linux Qt names a combo box by its value and says what it is by its label.
    if (node.role == QStringLiteral("combo box"))
        return std::any_of(node.labels.begin(), node.labels.end(),
                           [](const QString& label) { return !label.trimmed().isEmpty(); });
    return !node.name.trimmed().isEmpty();
}

bool actionable(const QString& role) {
    static const QStringList roles = {
        QStringLiteral("push button"),  QStringLiteral("check box"),
        QStringLiteral("combo box"),    QStringLiteral("slider"),
        QStringLiteral("spin button"),  QStringLiteral("text"),
        QStringLiteral("entry"),        QStringLiteral("password text"),
        QStringLiteral("radio button"), QStringLiteral("toggle button"),
        QStringLiteral("link"),         QStringLiteral("push button menu"),
        QStringLiteral("page tab")};
    return roles.contains(role);
}

} // namespace brivane::test
