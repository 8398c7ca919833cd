#include "Brivane/controller/LaunchAtLogin.h"

#include "BrivaneCore/AgendaLanguage.h"

namespace brivane {

LaunchAtLogin::LaunchAtLogin(LoginItem::Location location, QObject* parent)
    : QObject(parent), item_(std::move(location)), status_(item_.status()) {}

void LaunchAtLogin::readStatus() {
    const LoginItemStatus status = item_.status();
    if (status_ == status)
        return;
    status_ = status;
    Q_EMIT statusChanged();
}

void LaunchAtLogin::setError(std::optional<std::string> value) {
    if (error_ == value)
        return;
    error_ = std::move(value);
    Q_EMIT errorChanged();
}

void LaunchAtLogin::reconcile(bool wanted) {
    readStatus();
    setError(std::nullopt);
    try {
        if (wanted &&
            (status_ == LoginItemStatus::notRegistered || status_ == LoginItemStatus::notFound))
            item_.registerItem();
        else if (!wanted && (status_ == LoginItemStatus::enabled ||
                             status_ == LoginItemStatus::requiresApproval))
            item_.unregisterItem();
    } catch (const std::exception& failure) {
        setError(AgendaLanguage::text("Avvio automatico non configurato: ",
                                      "Launch at login could not be configured: ") +
                 failure.what());
    }
    readStatus();
}

} // namespace brivane
