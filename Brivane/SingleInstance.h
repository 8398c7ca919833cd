#pragma once

// One running instance per user session: the first start listens on a local socket named after
// the application id in $XDG_RUNTIME_DIR (owner-only); later starts hand it a message (a
// redirect URL, a request to show itself) and exit.

#include "Brivane/InstanceMessage.h"

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <chrono>
#include <cstdint>

namespace brivane {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // Messages longer than this are cut off unread.
    static constexpr qsizetype maximumMessageBytes = maximumInstanceMessageBytes;

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // $XDG_RUNTIME_DIR/it.quillmere.Brivane (Qt's runtime directory when the variable is unset).
    static QString socketPath();

    // Becomes the running instance. False when another live instance already holds the socket;
    // a socket left behind by a crashed instance is replaced.
    bool listen();
    bool isListening() const;

    // Hands one message to the running instance. False when none answers within `timeout`.
    static bool send(const QString& message,
                     std::chrono::milliseconds timeout = std::chrono::seconds(3));

Q_SIGNALS:
    void messageReceived(const QString& message);

private:
    class Connection;
    int listening_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QByteArray listenPath_;
    std::uint64_t boundInode_ = 0, boundDevice_ = 0;
};

} // namespace brivane
