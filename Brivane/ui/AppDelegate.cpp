#include "Brivane/ui/AppDelegate.h"

#include "Brivane/AppIdentity.h"
#include "Brivane/SingleInstance.h"
#include "Brivane/cloud/CloudCalendarService.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/desktop/DisplayStart.h"
#include "Brivane/render/FrostedBackground.h"
#include "Brivane/ui/AboutView.h"
#include "Brivane/ui/AppWindowPresentation.h"
#include "Brivane/ui/MenuPanel.h"
#include "Brivane/ui/PreferencesView.h"
#include "Brivane/ui/TrayWatch.h"
#include "Brivane/ui/UiSupport.h"
#include "Brivane/ui/WizardState.h"
#include "Brivane/updates/UpdateManager.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QMessageBox>
#include <QPixmapCache>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>
#include <malloc.h>

namespace brivane::ui {

namespace {

constexpr const char* activatePrefix = "activate";

QString applicationName() {
    return QString::fromStdString(AppIdentity::name());
}

bool onWayland() {
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

// The tray glyph in the desktop's text colour; a themed symbolic icon, when installed, travels
// by name so that the panel itself recolours it.
QIcon currentTrayIcon() {
    const QString themed = QStringLiteral("it.quillmere.Brivane-symbolic");
    if (QIcon::hasThemeIcon(themed))
        return QIcon::fromTheme(themed);
    return trayIcon(QApplication::palette().color(QPalette::WindowText));
}

} // namespace

QString AppDelegate::activationMessage(const QString& token) {
    return token.isEmpty() ? QString::fromLatin1(activatePrefix)
                           : QString::fromLatin1(activatePrefix) + QLatin1Char(' ') + token;
}

int AppDelegate::run(int argc, char** argv) {
    const auto application = startOnDisplay<QApplication>(argc, argv);
    if (!application) {
        const std::string display = displayName().toStdString();
        std::fprintf(stderr, "%s\n",
                     AgendaLanguage::text("pellora: il display " + display + " non è raggiungibile",
                                          "pellora: the display " + display + " cannot be reached")
                         .c_str());
        return 1;
    }
    QApplication::setApplicationName(QStringLiteral("pellora"));
    QApplication::setApplicationDisplayName(applicationName());
    QApplication::setApplicationVersion(QString::fromStdString(AppIdentity::version()));
    QGuiApplication::setDesktopFileName(QStringLiteral("it.quillmere.Brivane"));
    QApplication::setWindowIcon(applicationIcon());
    // Closing the windows leaves the application in the tray.
    QApplication::setQuitOnLastWindowClosed(false);

    // One instance: a second start hands its activation token to the first and ends before
    // any controller exists.
    SingleInstance instance;
    if (!instance.listen()) {
        const QString token = qEnvironmentVariable("XDG_ACTIVATION_TOKEN");
        if (SingleInstance::send(activationMessage(token)))
            return 0;
        std::fprintf(stderr, "pellora: another instance holds %s but does not answer\n",
                     SingleInstance::socketPath().toLocal8Bit().constData());
        return 1;
    }

    AppDelegate delegate;
    QObject::connect(&instance, &SingleInstance::messageReceived, &delegate,
                     &AppDelegate::handleMessage);
    delegate.launch();
    return QApplication::exec();
}

AppDelegate::AppDelegate(QObject* parent) : QObject(parent) {
    prepareIconTheme();
}

AppDelegate::~AppDelegate() {
    delete panel_;
    delete window_;
    delete aboutWindow_;
    delete menu_;
}

void AppDelegate::launch(std::unique_ptr<AgendaModel> model) {
    model_ = model ? std::move(model) : std::make_unique<AgendaModel>();
    wizard_ = std::make_unique<WizardState>(*model_);
    QPointer<AppDelegate> self(this);
    wizard_->showPreferences = [self] {
        if (self)
            self->showPreferences();
    };
    wizard_->showPanel = [self] {
        if (self)
            self->togglePanel();
    };
    wizard_->showAbout = [self] {
        if (self)
            self->showAbout();
    };
    wizard_->closePanel = [self] {
        if (self)
            self->closePanel();
    };
    model_->showQuitAlert = [self](const std::vector<std::string>& failures) {
        QStringList lines;
        for (const auto& line : failures)
            lines << QString::fromStdString(line);
        QMessageBox alert(QMessageBox::Warning, applicationName(),
                          tx("Ripristino non completato", "Restore incomplete"));
        alert.setInformativeText(lines.join(QLatin1Char('\n')));
        alert.addButton(tx("Esci da Pellora", "Quit Pellora"), QMessageBox::AcceptRole);
        if (self)
            self->closePanel();
        alert.raise();
        alert.activateWindow();
        alert.exec();
    };
    model_->updater().onAutomaticUpdateAvailable = [self](const PelloraRelease& release) {
        if (self)
            self->showUpdateAlert(release);
    };

    // A refresh or a timeline tick draws whole-screen images: once it is over, what only the
    // drawing needed goes back to the system.
    // Shortly after, so that closed windows' widgets are gone by then.
    idleRelease_.setSingleShot(true);
    idleRelease_.setInterval(250);
    connect(&idleRelease_, &QTimer::timeout, this, &AppDelegate::releaseIdleMemory);
    connect(model_.get(), &AgendaModel::refreshFinished, &idleRelease_,
            qOverload<>(&QTimer::start));
    connect(model_.get(), &AgendaModel::lastAppliedChanged, &idleRelease_,
            qOverload<>(&QTimer::start));

    buildTrayMenu();
    // A light or dark desktop theme recolours the glyph; closed windows give memory back.
    qApp->installEventFilter(this);
    model_->start();
    // The icon only once a tray is there: Qt picks the icon's kind (D-Bus or XEmbed) when it is
    // made, for good.
    if (TrayWatch::statusNotifierHostPresent()) {
        showTrayIcon();
        return;
    }
    const bool xembedTray = TrayWatch::xembedTrayPresent();
    if (!xembedTray)
        noticeMissingTray();
    auto* watch = new TrayWatch(this);
    connect(watch, &TrayWatch::appeared, this, [this, watch, xembedTray] {
        watch->deleteLater();
        showTrayIcon();
        if (!xembedTray)
            withdrawMissingTrayNotice();
    });
}

void AppDelegate::buildTrayMenu() {
    menu_ = new QMenu;
    // The panel's commands, for whoever opens the icon's menu from the keyboard.
    auto* summary = menu_->addAction(tx("Riepilogo", "Summary"));
    connect(summary, &QAction::triggered, this, [this] {
        if (QWidget* open = panel_.data(); !open || !open->isVisible())
            togglePanel();
    });
    auto* settings = menu_->addAction(tx("Preferenze…", "Settings…"));
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    connect(settings, &QAction::triggered, this, [this] { showPreferences(); });
    auto* about = menu_->addAction(tx("Informazioni su ", "About ") + applicationName());
    connect(about, &QAction::triggered, this, &AppDelegate::showAbout);
    menu_->addSeparator();
    auto* quit = menu_->addAction(tx("Esci e ripristina lo sfondo", "Quit and restore wallpaper"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, [this] {
        closePanel();
        model_->restoreAndQuit();
    });
}

void AppDelegate::showTrayIcon() {
    tray_ = new QSystemTrayIcon(currentTrayIcon(), this);
    tray_->setToolTip(applicationName() + tx(" · Apri menu", " · Open menu"));
    tray_->setContextMenu(menu_);
    connect(tray_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason why) {
                if (why == QSystemTrayIcon::Trigger)
                    togglePanel();
            });
    tray_->show();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange && tray_)
        tray_->setIcon(currentTrayIcon());
    // A settings window opened for want of a tray is the user's once they click or type in it.
    if (preferencesForMissingTray_ &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress) &&
        watched->isWidgetType() && static_cast<QWidget*>(watched)->window() == window_.data())
        preferencesForMissingTray_ = false;
    // A closed window gives its memory back once the event loop is done with it.
    if (event->type() == QEvent::Hide && watched->isWidgetType() &&
        (watched == window_ || watched == aboutWindow_ || watched == panel_))
        idleRelease_.start();
    return QObject::eventFilter(watched, event);
}

void AppDelegate::releaseIdleMemory() {
    const auto open = [](const QPointer<QWidget>& window) {
        const QWidget* shown = window.data();
        return shown != nullptr && shown->isVisible();
    };
    // A closed window goes whole (its widgets and the display's copy of its pixels): it is made
    // again when reopened, on the step the wizard state keeps. Not while its notice is up.
    if (!open(window_) && !open(missingTrayNotice_))
        delete window_.data();
    if (!open(aboutWindow_))
        delete aboutWindow_.data();
    if (!open(panel_) && !open(window_) && !open(aboutWindow_)) {
        // Nothing on screen draws until the next refresh or window: the background field and
        // the style's pixmaps are made again when needed.
        FrostedBackground::clearCache();
        QPixmapCache::clear();
    }
    malloc_trim(0);
}

namespace {
const QString noTrayNoticeKey = QStringLiteral("PelloraNoTrayNoticeShown");
}

void AppDelegate::noticeMissingTray() {
    // Said once per user: a desktop without a tray keeps having none at every login.
    QSettings settings(UpdateManager::defaultSettingsPath(), QSettings::IniFormat);
    wizard_->setTrayMissing(true);
    showPreferences();
    preferencesForMissingTray_ = true;
    if (settings.value(noTrayNoticeKey, false).toBool())
        return;
    settings.setValue(noTrayNoticeKey, true);
    settings.sync();
    // Not modal: the application goes on starting and refreshing behind it.
    auto* notice = new QMessageBox(
        QMessageBox::Information, applicationName(),
        tx("Questo desktop non ha un'area di notifica.", "This desktop has no system tray."),
        QMessageBox::Ok, window_);
    notice->setAttribute(Qt::WA_DeleteOnClose);
    notice->setWindowModality(Qt::NonModal);
    notice->setInformativeText(
        tx("Pellora resta attivo e aggiorna lo sfondo. Apri questa finestra dal menu delle "
           "applicazioni; il pulsante Riepilogo mostra i comandi del pannello.",
           "Pellora keeps running and updating your wallpaper. Open this window from the "
           "application menu; the Summary button shows the panel's commands."));
    notice->show();
    missingTrayNotice_ = notice;
}

void AppDelegate::withdrawMissingTrayNotice() {
    // The tray came late (a panel started after Pellora): the desktop has one after all.
    QSettings settings(UpdateManager::defaultSettingsPath(), QSettings::IniFormat);
    settings.remove(noTrayNoticeKey);
    settings.sync();
    wizard_->setTrayMissing(false);
    if (QWidget* notice = missingTrayNotice_.data())
        notice->close();
    // The settings window opened in place of the tray goes too, unless the user took it up.
    if (QWidget* window = window_.data(); window && preferencesForMissingTray_)
        window->close();
    preferencesForMissingTray_ = false;
}

void AppDelegate::togglePanel() {
    if (QWidget* open = panel_.data(); open && open->isVisible()) {
        closePanel();
        return;
    }
    const bool trayShown = tray_ && tray_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
    openPanel(!trayShown);
}

void AppDelegate::showPanelWindow() {
    closePanel();
    openPanel(true);
}

void AppDelegate::closePanel() {
    if (QWidget* open = panel_.data()) {
        panel_ = nullptr;
        open->close();
        open->deleteLater();
    }
}

void AppDelegate::openPanel(bool asWindow) {
    closePanel();
    // The panel follows the screen of the tray icon, or the primary one.
    const QRect iconArea = tray_ ? tray_->geometry() : QRect();
    QScreen* screen = iconArea.isValid() ? QGuiApplication::screenAt(iconArea.center()) : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const std::optional<int> available =
        screen ? std::optional<int>(screen->availableGeometry().height()) : std::nullopt;
    const int height = MenuPanel::panelHeight(available);

    QWidget* host = nullptr;
    if (asWindow) {
        host = new QWidget(nullptr, Qt::Window);
        host->setWindowTitle(tx("Riepilogo", "Summary") + QStringLiteral(" · ") +
                             applicationName());
    } else {
        // An X11 popup grabs input and closes on a click outside; Wayland needs a parent for
        // popups, so there the panel is a frameless tool window that closes when it loses focus.
        host = new QWidget(nullptr, onWayland() ? Qt::Tool | Qt::FramelessWindowHint |
                                                      Qt::WindowStaysOnTopHint
                                                : Qt::Popup);
    }
    host->setAttribute(Qt::WA_DeleteOnClose);
    connect(host, &QObject::destroyed, &idleRelease_, qOverload<>(&QTimer::start));
    auto* layout = new QVBoxLayout(host);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* content = new MenuPanel(*model_, *wizard_, height, host);
    layout->addWidget(content);
    // The window follows the panel, which is as tall as what it shows.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    if (!asWindow && screen) {
        const QRect area = screen->availableGeometry();
        QPoint origin;
        if (iconArea.isValid()) {
            // Under the icon on a top panel, above it on a bottom one; always inside the area.
            origin = iconArea.center().y() < area.center().y()
                         ? QPoint(iconArea.center().x() - MenuPanel::panelWidth / 2,
                                  iconArea.bottom() + 4)
                         : QPoint(iconArea.center().x() - MenuPanel::panelWidth / 2,
                                  iconArea.top() - 4 - content->height());
        } else {
            origin = QPoint(area.right() - MenuPanel::panelWidth - 8, area.top() + 8);
        }
        origin.setX(std::clamp(origin.x(), area.left(),
                               std::max(area.left(), area.right() + 1 - MenuPanel::panelWidth)));
        origin.setY(std::clamp(origin.y(), area.top(),
                               std::max(area.top(), area.bottom() + 1 - content->height())));
        host->move(origin);
    }
    panel_ = host;
    host->show();
    host->raise();
    host->activateWindow();
    content->refreshButton()->setFocus(Qt::PopupFocusReason);
}

void AppDelegate::addWindowShortcuts(QWidget* window, const QList<QKeySequence>& close) {
    // The menu's shortcuts also work from the window.
    for (QAction* action : menu_->actions())
        if (!action->isSeparator())
            window->addAction(action);
    // Closing by keyboard, also where no window manager offers it.
    auto* closing = new QAction(window);
    closing->setShortcuts(close);
    connect(closing, &QAction::triggered, window, &QWidget::close);
    window->addAction(closing);
}

void AppDelegate::showPreferences(const QString& activationToken) {
    preferencesForMissingTray_ = false; // asked for: it stays when a tray appears
    if (window_ && AppWindowPresentation::lostByDisplay(window_))
        delete window_.data();
    if (!window_) {
        auto* window = new QWidget(nullptr, Qt::Window);
        window->setWindowTitle(applicationName());
        auto* layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(new PreferencesView(*model_, *wizard_, window));
        window->resize(820, 780);
        window->setMinimumSize(720, 620);
        addWindowShortcuts(window, {QKeySequence::Close});
        if (QScreen* screen = QGuiApplication::primaryScreen())
            window->move(screen->availableGeometry().center() - window->rect().center());
        window_ = window;
    }
    closePanel();
    AppWindowPresentation::show(window_, activationToken);
}

void AppDelegate::showAbout() {
    if (aboutWindow_ && AppWindowPresentation::lostByDisplay(aboutWindow_))
        delete aboutWindow_.data();
    if (!aboutWindow_) {
        auto* window = new QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint |
                                                Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        window->setWindowTitle(tx("Informazioni su ", "About ") + applicationName());
        auto* layout = new QVBoxLayout(window);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(new AboutView(*model_, window));
        window->setFixedSize(460, 540);
        addWindowShortcuts(window, {QKeySequence::Close, QKeySequence(Qt::Key_Escape)});
        if (QScreen* screen = QGuiApplication::primaryScreen())
            window->move(screen->availableGeometry().center() - window->rect().center());
        aboutWindow_ = window;
    }
    closePanel();
    AppWindowPresentation::show(aboutWindow_);
}

AppDelegate::UpdateAlert AppDelegate::updateAlert(const PelloraRelease& release) {
    UpdateAlert alert;
    alert.message =
        tx("È disponibile un aggiornamento di Pellora", "A Pellora update is available");
    QStringList parts;
    parts << tx("Versione", "Version") + QLatin1Char(' ') +
                 QString::fromStdString(release.version) + QStringLiteral(" (build ") +
                 QString::number(release.build) + QLatin1Char(')');
    if (release.releaseNotes && !release.releaseNotes->empty())
        parts << QString::fromStdString(*release.releaseNotes);
    if (release.downloadURL) {
        parts << tx("Il pacchetto verrà scaricato; per aggiornare dovrai aprirlo e confermare "
                    "l'installazione.",
                    "The package will be downloaded; open it and confirm installation to update.");
        alert.buttons << tx("Scarica aggiornamento", "Download update") << tx("Più tardi", "Later");
    } else {
        parts << tx("Questa build personale non viene distribuita dal sito. Contatta lo "
                    "sviluppatore per ricevere l'installer.",
                    "This personal build is not distributed from the website. Contact the "
                    "developer for the installer.");
        alert.buttons << QStringLiteral("OK");
    }
    alert.informativeText = parts.join(QStringLiteral("\n\n"));
    return alert;
}

void AppDelegate::showUpdateAlert(const PelloraRelease& release) {
    const UpdateAlert texts = updateAlert(release);
    auto* box = new QMessageBox(QMessageBox::Information, applicationName(), texts.message);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setInformativeText(texts.informativeText);
    QPushButton* first = box->addButton(texts.buttons.front(), QMessageBox::AcceptRole);
    if (texts.buttons.size() > 1)
        box->addButton(texts.buttons.back(), QMessageBox::RejectRole);
    box->setDefaultButton(first);
    const std::optional<std::string> url = release.downloadURL;
    // Not modal: the wallpaper keeps refreshing while the alert waits.
    connect(box, &QMessageBox::buttonClicked, box, [box, first, url](QAbstractButton* chosen) {
        if (chosen == first && url)
            QDesktopServices::openUrl(QUrl(QString::fromStdString(*url)));
        box->close();
    });
    box->show();
    box->raise();
    box->activateWindow();
}

void AppDelegate::handleMessage(const QString& message) {
    if (message == QLatin1String(activatePrefix) ||
        message.startsWith(QLatin1String(activatePrefix) + QLatin1Char(' '))) {
        showPreferences(message.mid(int(qstrlen(activatePrefix))).trimmed());
        return;
    }
    const QUrl url(message, QUrl::StrictMode);
    if (url.isValid() && !url.scheme().isEmpty() && model_)
        model_->cloudCalendars().handleRedirect(url);
}

} // namespace brivane::ui
