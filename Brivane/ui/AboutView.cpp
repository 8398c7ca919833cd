#include "Brivane/ui/AboutView.h"

#include "Brivane/AppIdentity.h"
#include "Brivane/controller/AgendaModel.h"
#include "Brivane/render/WallpaperRenderer.h"
#include "Brivane/ui/UiSupport.h"
#include "Brivane/updates/UpdateManager.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace brivane::ui {

namespace {

QString infoString(const char* key) {
    const auto& info = AppInformation::document();
    if (auto found = info.find(key); found != info.end() && found->is_string())
        return QString::fromStdString(found->get<std::string>());
    return {};
}

QLabel* centred(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignHCenter);
    label->setWordWrap(true);
    return label;
}

} // namespace

AboutView::AboutView(AgendaModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setPalette(AgendaColors::palette(palette()));
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 28, 32, 24);
    layout->setSpacing(10);

    if (BrandArtwork::icon()) {
        auto* icon = new QLabel(this);
        icon->setPixmap(applicationIcon().pixmap(72, 72));
        icon->setAlignment(Qt::AlignHCenter);
        icon->setAccessibleName(QString::fromStdString(AppIdentity::name()));
        layout->addWidget(icon);
    }

    auto* name = centred(QString::fromStdString(AppIdentity::name()), this);
    QFont nameFont = name->font();
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.6);
    nameFont.setBold(true);
    name->setFont(nameFont);
    layout->addWidget(name);

    auto* version =
        centred(tx("Versione ", "Version ") + QString::fromStdString(AppIdentity::version()), this);
    setTextColor(version, AgendaColors::secondary());
    layout->addWidget(version);

    layout->addWidget(centred(tx("La tua agenda e i tuoi promemoria restano su questo computer.",
                                 "Your agenda and your tasks stay on this computer."),
                              this));
    layout->addSpacing(8);

    automatic_ = new QCheckBox(
        tx("Controlla automaticamente gli aggiornamenti", "Check for updates automatically"), this);
    setAccessible(automatic_, automatic_->text());
    connect(automatic_, &QCheckBox::toggled, this, [this](bool on) {
        if (on != model_.updater().automaticChecksEnabled())
            model_.updater().setAutomaticChecksEnabled(on);
    });
    layout->addWidget(automatic_, 0, Qt::AlignHCenter);
    auto* note = centred(tx("All'avvio e ogni 24 ore. L'installazione richiede la tua conferma.",
                            "At launch and every 24 hours. You confirm each installation."),
                         this);
    setTextColor(note, AgendaColors::secondary());
    layout->addWidget(note);

    status_ = centred({}, this);
    status_->setAccessibleName(tx("Stato aggiornamenti", "Update status"));
    layout->addWidget(status_);

    check_ = new QPushButton(tx("Verifica aggiornamenti", "Check for updates"), this);
    setAccessible(check_, check_->text());
    padButton(check_);
    connect(check_, &QPushButton::clicked, this,
            [this] { model_.updater().checkForUpdates(true); });
    layout->addWidget(check_, 0, Qt::AlignHCenter);

    // A build without an update server has nothing to check: the status says so, alone.
    const bool updates = model_.updater().enabled();
    for (QWidget* control : {static_cast<QWidget*>(automatic_), static_cast<QWidget*>(note),
                             static_cast<QWidget*>(check_)})
        control->setVisible(updates);

    download_ = new QPushButton(tx("Scarica", "Download"), this);
    setAccessible(download_, download_->text());
    padButton(download_);
    connect(download_, &QPushButton::clicked, this, [this] {
        const auto& release = model_.updater().status().release;
        if (release && release->downloadURL)
            QDesktopServices::openUrl(QUrl(QString::fromStdString(*release->downloadURL)));
    });
    layout->addWidget(download_, 0, Qt::AlignHCenter);

    layout->addStretch();

    const QString developer = infoString("PelloraDeveloperName");
    const QString email = infoString("PelloraDeveloperEmail");
    if (!developer.isEmpty()) {
        const QString text = tx("Sviluppata da ", "Developed by ") + developer;
        auto* credit =
            centred(email.isEmpty() ? text.toHtmlEscaped()
                                    : QStringLiteral("<a href=\"mailto:%1\">%2</a>")
                                          .arg(email.toHtmlEscaped(), text.toHtmlEscaped()),
                    this);
        credit->setTextFormat(Qt::RichText);
        credit->setOpenExternalLinks(true);
        credit->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
        credit->setAccessibleName(text);
        setTextColor(credit, AgendaColors::secondary());
        layout->addWidget(credit);
    }

    connect(&model_.updater(), &UpdateManager::statusChanged, this, &AboutView::sync);
    sync();
}

void AboutView::sync() {
    UpdateManager& updater = model_.updater();
    {
        const QSignalBlocker block(automatic_);
        automatic_->setChecked(updater.automaticChecksEnabled());
    }
    const QString status = QString::fromStdString(updater.statusText());
    status_->setText(status);
    status_->setVisible(!status.isEmpty());
    const auto& current = updater.status();
    download_->setVisible(current.kind == UpdateManager::Status::Kind::available &&
                          current.release && current.release->downloadURL);
}

} // namespace brivane::ui
