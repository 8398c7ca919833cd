#include "Brivane/cli/SubscriptionsMode.h"

#include "Brivane/subscriptions/SubscriptionAddress.h"
#include "Brivane/subscriptions/SubscriptionService.h"
#include "BrivaneCore/AgendaLanguage.h"

#include <QLocale>
#include <cstdio>

namespace brivane {

namespace {

std::string hostOf(const Subscription& subscription) {
    return subscription::shownHost(QUrl(QString::fromStdString(subscription.address)));
}

std::string localTime(const QDateTime& at) {
    const QDateTime local = at.toLocalTime();
    const bool today = local.date() == QDate::currentDate();
    return local.toString(today ? QStringLiteral("HH:mm") : QStringLiteral("yyyy-MM-dd HH:mm"))
        .toStdString();
}

bool loaded(SubscriptionService& service) {
    if (QCoro::waitFor(service.load(KeyringAccess::userAction)))
        return true;
    printError(service.keyringError().value_or(
        AgendaLanguage::text("Portachiavi non disponibile.", "The keyring is not available.")));
    return false;
}

} // namespace

int SubscriptionsMode::subscribe(const ModeArguments& arguments) {
    const std::string* address = optionValue(arguments, "--subscribe");
    if (!address) {
        printError("--subscribe needs a webcal:// or https:// address");
        return 2;
    }
    const std::string* name = optionValue(arguments, "--name");
    SubscriptionService service;
    if (!loaded(service))
        return 1;
    const auto result = QCoro::waitFor(
        service.subscribe(QString::fromStdString(*address), name ? *name : std::string()));
    if (!result.subscription) {
        printError(result.error.value_or(""));
        return 1;
    }
    std::printf("%s\t%s\n",
                AgendaLanguage::text("Iscritto a «" + result.subscription->name + "».",
                                     "Subscribed to \"" + result.subscription->name + "\".")
                    .c_str(),
                result.subscription->id.c_str());
    return 0;
}

int SubscriptionsMode::list(const ModeArguments&) {
    SubscriptionService service;
    if (!loaded(service))
        return 1;
    if (service.subscriptions().empty())
        printError(AgendaLanguage::text("Nessuna iscrizione.", "No subscriptions."));
    for (const auto& s : service.subscriptions())
        std::printf("%s\t%s\t%s\n", s.id.c_str(), s.name.c_str(), hostOf(s).c_str());
    return 0;
}

int SubscriptionsMode::unsubscribe(const ModeArguments& arguments) {
    const std::string* id = optionValue(arguments, "--unsubscribe");
    if (!id) {
        printError("--unsubscribe needs an id (see --subscriptions)");
        return 2;
    }
    SubscriptionService service;
    if (!loaded(service))
        return 1;
    const std::string name = service.find(*id) ? service.find(*id)->name : std::string();
    if (const auto error = QCoro::waitFor(service.unsubscribe(*id))) {
        printError(*error);
        return 1;
    }
    std::printf("%s\n", AgendaLanguage::text("Iscrizione a «" + name + "» rimossa.",
                                             "Unsubscribed from \"" + name + "\".")
                            .c_str());
    return 0;
}

std::vector<std::string> SubscriptionsMode::refreshed(SubscriptionService& service) {
    QCoro::waitFor(service.refresh());
    std::vector<std::string> failures;
    if (service.keyringError())
        failures.push_back(*service.keyringError());
    for (const auto& s : service.subscriptions())
        if (const auto error = service.state(s.id).error)
            failures.push_back(s.name + ": " + *error);
    return failures;
}

std::string SubscriptionsMode::report(SubscriptionService& service) {
    QCoro::waitFor(service.refresh());
    std::string out = AgendaLanguage::text("Iscrizioni", "Subscriptions") + " (" +
                      std::to_string(service.subscriptions().size()) + ")\n";
    if (service.keyringError())
        out += "  " + *service.keyringError() + "\n";
    for (const auto& s : service.subscriptions()) {
        const SubscriptionService::State state = service.state(s.id);
        out += "  " + s.name + " — " + hostOf(s) + "\n    id: " + s.id + "\n    ";
        if (state.error) {
            out += *state.error;
            if (state.failingSince)
                out += AgendaLanguage::text(" (dalle ", " (since ") +
                       localTime(*state.failingSince) + ")";
            out += "\n    ";
        }
        out += AgendaLanguage::text("eventi: ", "events: ") + std::to_string(state.events);
        if (state.checkedAt)
            out += " · " + AgendaLanguage::text("controllato: ", "checked: ") +
                   localTime(*state.checkedAt);
        else
            out += " · " + AgendaLanguage::text("mai letto", "never read");
        out += "\n";
    }
    return out;
}

} // namespace brivane
