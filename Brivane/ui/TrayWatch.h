#pragma once

// Whether the desktop has a tray, and when one appears later (a panel started after Pellora).
// Qt decides once per process whether its tray icons go over D-Bus (StatusNotifierItem), on the
// first QSystemTrayIcon: asked before the desktop's StatusNotifierWatcher is there, every icon
// of the process falls back to XEmbed, which a D-Bus-only tray never shows. So no tray icon is
// made until one of the two kinds of tray is there, and this watch tells when it comes.

#include <QObject>
#include <QTimer>
#include <memory>

class QAbstractNativeEventFilter;

namespace brivane::ui {

class TrayWatch : public QObject {
    Q_OBJECT
public:
    // A StatusNotifierWatcher with a host registered: what Qt asks for its D-Bus icons.
    static bool statusNotifierHostPresent();
    // An XEmbed tray owning the X11 screen's tray selection.
    static bool xembedTrayPresent();

    // Watches until either kind of tray is there, then emits `appeared` once; an XEmbed tray
    // counts after a few seconds without a StatusNotifierHost.
    explicit TrayWatch(QObject* parent = nullptr);
    ~TrayWatch() override;

Q_SIGNALS:
    void appeared();

private Q_SLOTS:
    void hostRegistered();

private:
    void check();
    void settle();

    std::unique_ptr<QAbstractNativeEventFilter> x11Filter_;
    QTimer xembedGrace_;
    bool emitted_ = false;
};

} // namespace brivane::ui
